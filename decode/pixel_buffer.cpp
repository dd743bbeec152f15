// SPDX-License-Identifier: MIT
// The pixel bridge: whole-image copies between the image store and plain pixel blocks.
#include "decode/pixel_buffer.h"

#include <cstring>

#include "platform/platform.h"

std::int64_t PixelBlockBytes(int width, int height) {
  const std::int64_t bytes = static_cast<std::int64_t>(width) * (static_cast<std::int64_t>(height) * 4);
  if (bytes > INT32_MAX || bytes < INT32_MIN) return -1;
  return bytes;
}

int ReadPixels(int image, PixelWord* block) {
  const ImageWords source = AccessImage(image);
  if (source.words == nullptr || block == nullptr || source.width <= 0 || source.height <= 0)
    return 0;
  std::memcpy(block, source.words,
              static_cast<std::size_t>(source.width) * static_cast<std::size_t>(source.height) *
                  sizeof(PixelWord));
  return 0;
}

int WritePixels(const PixelWord* block, int image) {
  const ImageWords target = AccessImage(image);
  if (target.words == nullptr || block == nullptr || target.width <= 0 || target.height <= 0)
    return 0;
  const std::size_t count =
      static_cast<std::size_t>(target.width) * static_cast<std::size_t>(target.height);
  if (target.depth == 32) {
    std::memcpy(target.words, block, count * sizeof(PixelWord));
  } else {
    // The store keeps the top byte of a 24-bit image at 0.
    for (std::size_t i = 0; i < count; ++i) target.words[i] = block[i] & 0x00FFFFFFu;
  }
  return 0;
}
