// SPDX-License-Identifier: MIT
// The program's icon on every window of the GTK backend.
#pragma once

// Sets the default icon list of all windows from the installed (or, when run from the build tree,
// the source tree's) hicolor PNGs. Without them the windows carry the toolkit's default icon.
void InstallProgramIcon();
