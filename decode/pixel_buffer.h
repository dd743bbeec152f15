// SPDX-License-Identifier: MIT
// The pixel word, the block of pixel words a stage works on, and the copies between blocks and images.
#pragma once

#include <cstdint>

// One pixel: blue in bits 0-7, green 8-15, red 16-23; the top byte (24-31) means nothing to the stages.
using PixelWord = std::uint32_t;

// A block of width x height PixelWords, row 0 at the top, rows without padding.
struct PixelBuffer {
  PixelWord* pixels;   // the block; owned by the stage that allocated it
  std::int16_t width;  // pixels per row
  std::int16_t height; // number of rows
  std::int8_t depth;   // bits per pixel of the image the block came from or is meant for (24 or 32)
};

// Byte count of a width x height block, width x (height x 4), as signed 32-bit arithmetic gives it:
// -1 when that product does not fit (2^31 bytes or more), which the memory service refuses like
// any count of 0 or less.
std::int64_t PixelBlockBytes(int width, int height);

// Copies every pixel of image `image` into `block`, which holds at least width x height words.
// A missing image leaves the block as it was. Always returns 0.
int ReadPixels(int image, PixelWord* block);

// Copies `block` into every pixel of image `image`; the image's own size decides how many words are
// read. A 24-bit image drops the top byte, a 32-bit image receives it. A missing image is left alone.
// Always returns 0.
int WritePixels(const PixelWord* block, int image);
