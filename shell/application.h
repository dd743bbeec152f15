// SPDX-License-Identifier: MIT
// The application cycle: start-up, one pass per chosen file, the result viewer, the end.
#pragma once

#include <cstdint>
#include <string>

// The largest result shown unscaled: 90 % of the primary display, fixed at start-up.
extern std::int32_t ViewLimitWidth;
extern std::int32_t ViewLimitHeight;

int RunProgram();        // start-up, then RunPass and ShowResult for ever; ends through EndProgram
void StartProgram();     // shared values, decoder registration, view limits
void RunPass();          // one file: request, checks, load, the three stages
void ShowResult();       // the viewer window for image 1, until the user closes it
[[noreturn]] void EndProgram();  // releases the platform services; exit code 0

bool FileExists(const std::string& path);           // true unless nothing is there (-1)
std::string NamePart(const std::string& path);      // after the last '\' or '/'
std::int32_t ViewLimitFor(std::int32_t displaySize);  // 0.9 x size, ties to even

// The shown size for an image of width x height within the limits; true when it had to shrink.
bool FitToLimits(std::int32_t& width, std::int32_t& height, std::int32_t limitWidth,
                 std::int32_t limitHeight);
