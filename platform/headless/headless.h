// SPDX-License-Identifier: MIT
// The headless backend's script and transcript: tests play the user (file answers, events) and
// read back what the program showed (windows, controls, message boxes, pictures).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Forgets the script, the transcript, all windows and controls, and restores the defaults
// (desktop 1920 x 1080, 96 dpi, every window can be opened).
void ResetHeadless();

// Answers for the next file requests, in order; once they run out every request is cancelled ("").
void QueueFileAnswer(const std::string& path);

// Events for the next blocking waits, in order; once they run out a wait answers EventClose, as a
// user who closes the window would.
void QueueWaitEvent(int event);

// Puts an event into the queue of the thread that owns window `window` (a user's click or close
// request aimed at that window). Nothing when the window does not exist.
void PostWindowEvent(int window, int event);

void SetHeadlessDesktop(int width, int height);
void SetHeadlessDensity(int x, int y);
void RefuseWindow(int number);  // later OpenWindow calls with this number fail

// Every transcript line is also appended to this file at once (for tests whose program exits).
void SetTranscriptFile(const std::string& path);

// One line per thing the user could see, in order, e.g.
//   request "Select stereogram image"
//   message "Nimbrel" "The file 'x.png' does not exist." error
//   window 2 open "Nimbrel v0.3a" 1000x500 titlebar closebox centred
//   view 2 in 2 at 0,0 1000x500 image 1000x500
//   bar 0 first 0          (the first value a progress bar was set to)
//   window 3 show
//   window 2 close
//   exit 0
std::vector<std::string> Transcript();

// The pictures image views were given, as they were when the view was made.
struct ShownPicture {
  int gadget;
  int width;
  int height;
  std::vector<std::uint32_t> words;  // width x height, top-down; empty when nothing was shown
};
std::vector<ShownPicture> ShownPictures();

// Per progress bar: how often its value was set and the last value.
struct ProgressRecord {
  long long updates;
  int last;
};
ProgressRecord ProgressBarRecord(int gadget);
bool WindowShown(int number);  // opened and made visible, not yet closed
