// SPDX-License-Identifier: MIT
// The second route to SourceImage: the system picture service, for files the image library refuses.
#pragma once

#include <cstdint>
#include <string>

// Reads the whole file at `path` through the picture service and creates image `number` (24-bit)
// from it at the desktop's logical density. Nonzero when the image was created, 0 otherwise; an
// image `number` already there is replaced only on success. Shows no message. Main thread only.
int LoadPictureFallback(int number, const std::string& path);

// HIMETRIC length to pixels at `density` pixels per inch: himetric * density / 2540, truncated
// toward zero, computed without overflow.
std::int64_t HimetricToPixels(std::int32_t himetric, int density);
