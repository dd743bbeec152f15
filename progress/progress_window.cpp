// SPDX-License-Identifier: MIT
// The progress window that accompanies a long repeat-width search, on a thread of its own.
#include <thread>

#include "platform/platform.h"
#include "progress/progress.h"

std::atomic<std::int32_t> ProgressPercent{0};
std::string ProgressCaption;

namespace {
constexpr int ProgressWindow = 3;
constexpr int ProgressBar = 0;
constexpr int ProgressLabel = 1;
constexpr std::int64_t HiddenMilliseconds = 1000;
}  // namespace

int RunProgressWindow(int) {
  const std::int64_t started = ClockMilliseconds();
  bool shown = false;
  if (!OpenWindow(ProgressWindow, 270, 60, "Nimbrel",
                  WindowTitleBar | WindowCentered | WindowHidden)) {
    return 0;
  }
  AddProgressBar(ProgressBar, ProgressWindow, 10, 30, 250, 20, 0, 100);
  AddCentredText(ProgressLabel, ProgressWindow, 10, 10, 250, 20, ProgressCaption);
  do {
    SetProgressValue(ProgressBar, ProgressPercent.load(std::memory_order_relaxed));
    if (!shown && ClockMilliseconds() - started > HiddenMilliseconds) {
      ShowProgramWindow(ProgressWindow);
      shown = true;
    }
    while (PollEvent() != EventNone) {
    }
    // The loop never sleeps; yielding only lets the search threads have the processor first.
    std::this_thread::yield();
  } while (ProgressPercent.load(std::memory_order_relaxed) != 100);
  CloseWindow(ProgressWindow);
  return 0;
}
