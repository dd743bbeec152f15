// SPDX-License-Identifier: MIT
// The level stretch: per-channel automatic levels with 0.5 % clipped at each end.
#include <cmath>

#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "decode/stages.h"
#include "platform/platform.h"

std::int32_t ClipCount(std::int32_t pixelCount, float percent) {
  // Double keeps N x 0.5 / 100 exact at the halves for every N the store allows; nearbyint rounds
  // them to even.
  return static_cast<std::int32_t>(
      std::nearbyint(static_cast<double>(pixelCount) * static_cast<double>(percent) / 100.0));
}

void CountLevels(const PixelWord* pixels, std::int64_t count, std::int32_t tables[3][256]) {
  for (std::int64_t i = 0; i < count; ++i) {
    const PixelWord p = pixels[i];
    ++tables[0][(p >> 16) & 255];
    ++tables[1][(p >> 8) & 255];
    ++tables[2][p & 255];
  }
}

int FindLowLevel(const std::int32_t table[256], std::int32_t clip) {
  std::int64_t sum = 0;
  int level = 0;
  do {
    sum += table[level];
    ++level;
  } while (sum <= clip && level <= 255);
  return level - 1;
}

int FindHighLevel(const std::int32_t table[256], std::int32_t clip) {
  std::int64_t sum = 0;
  int level = 255;
  do {
    sum += table[level];
    --level;
  } while (sum <= clip && level >= 0);
  return level + 1;
}

void MapLevels(PixelWord* pixels, std::int64_t count, const int low[3], const int high[3]) {
  PixelWord lookup[3][256];
  for (int c = 0; c < 3; ++c) {
    const int shift = 16 - 8 * c;
    for (int v = 0; v < 256; ++v) {
      int mapped = (v - low[c]) * 255 / (high[c] - low[c]);
      if (mapped > 255)
        mapped = 255;
      else if (mapped < 0)
        mapped = 0;
      lookup[c][v] = static_cast<PixelWord>(mapped) << shift;
    }
  }
  for (std::int64_t i = 0; i < count; ++i) {
    const PixelWord p = pixels[i];
    pixels[i] = lookup[0][(p >> 16) & 255] | lookup[1][(p >> 8) & 255] | lookup[2][p & 255];
  }
}

bool StretchPixels(PixelWord* pixels, std::int32_t pixelCount) {
  if (pixels == nullptr || pixelCount < 1) return false;
  std::int32_t tables[3][256] = {};
  CountLevels(pixels, pixelCount, tables);
  const std::int32_t LowClipCount = ClipCount(pixelCount, LowClipPercent);
  const std::int32_t HighClipCount = ClipCount(pixelCount, HighClipPercent);
  int low[3];
  int high[3];
  for (int c = 0; c < 3; ++c) {
    low[c] = FindLowLevel(tables[c], LowClipCount);
    high[c] = FindHighLevel(tables[c], HighClipCount);
    // Equal levels leave nothing to stretch; a reversed pair cannot happen for a non-empty image
    // but would divide by a negative range, so it is refused the same way.
    if (high[c] <= low[c]) return false;
  }
  MapLevels(pixels, pixelCount, low, high);
  return true;
}

int StretchLevels(int image) {
  if (!ImageExists(image)) return 0;
  const int width = ImageWidth(image);
  const int height = ImageHeight(image);
  if (width < 1 || height < 1) return 0;
  auto* block = static_cast<PixelWord*>(AllocateBlock(PixelBlockBytes(width, height)));
  if (block == nullptr) return 0;
  ReadPixels(image, block);
  const bool stretched = StretchPixels(block, width * height);
  if (stretched) WritePixels(block, image);
  FreeBlock(block);
  return stretched ? 1 : 0;
}
