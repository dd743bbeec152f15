// SPDX-License-Identifier: MIT
// The values through which the repeat-width search talks to the progress window, and the window's
// thread body.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Written only by the search; read by the progress window on every turn of its loop. Whole 32-bit
// loads and stores, no ordering with other data.
extern std::atomic<std::int32_t> ProgressPercent;

// Set by the search before it starts the progress thread; read once by the window for its label.
extern std::string ProgressCaption;

// Thread body: builds ProgressWindow, keeps its bar at ProgressPercent, shows it once more than
// 1000 ms have passed, and closes it once it reads 100. Returns 0.
int RunProgressWindow(int value);
