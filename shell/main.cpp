// SPDX-License-Identifier: MIT
// Entry point of the desktop program; it reads nothing from its command line.
#include "platform/platform.h"
#include "shell/application.h"

int main() { return RunPlatform(RunProgram); }
