// SPDX-License-Identifier: MIT
// The three processing stages of a pass, as worker-thread bodies, and the repeat width they share.
#pragma once

#include <cstdint>

// The detected repeat width in pixels; 0 at start; written only by FindRepeatWidth when it retains
// a candidate, read by BuildDifferenceImage.
extern std::int32_t RepeatWidth;

int FindRepeatWidth(int value);        // reads image 0; writes RepeatWidth and the progress values
int BuildDifferenceImage(int value);   // image 0 and RepeatWidth -> image 1
int StretchLevels(int image);          // stretches image `image` in place; 1 when changed, else 0
