// SPDX-License-Identifier: MIT
// The level stretch: per-channel automatic levels with 0.5 % clipped at each end.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "decode/stages.h"
#include "platform/platform.h"

namespace {

// Below this many pixels a second thread costs more than it saves.
constexpr std::int64_t PixelsPerThreadMinimum = 1 << 18;

// Runs work(begin, end, part) over `parts` consecutive slices of 0..count, part 0 on the calling
// thread; a slice whose thread cannot start runs on the calling thread too.
template <typename Work>
void SplitWork(std::int64_t count, int parts, const Work& work) {
  std::vector<std::thread> helpers;
  std::vector<int> inline_parts{0};
  for (int part = 1; part < parts; ++part) {
    const std::int64_t begin = count * part / parts, end = count * (part + 1) / parts;
    try {
      helpers.emplace_back(work, begin, end, part);
    } catch (const std::system_error&) {
      inline_parts.push_back(part);
    }
  }
  for (int part : inline_parts) work(count * part / parts, count * (part + 1) / parts, part);
  for (std::thread& helper : helpers) helper.join();
}

int PartsFor(std::int64_t count) {
  const std::int64_t parts = std::min<std::int64_t>(HardwareThreads(), count / PixelsPerThreadMinimum);
  return parts < 1 ? 1 : static_cast<int>(parts);
}

}  // namespace

std::int32_t ClipCount(std::int32_t pixelCount, float percent) {
  // Double keeps N x 0.5 / 100 exact at the halves for every N the store allows; nearbyint rounds
  // them to even.
  return static_cast<std::int32_t>(
      std::nearbyint(static_cast<double>(pixelCount) * static_cast<double>(percent) / 100.0));
}

void CountLevels(const PixelWord* pixels, std::int64_t count, std::int32_t tables[3][256]) {
  // A difference image is mostly black where the pattern repeats exactly: long runs of one word.
  // Eight equal words (top byte aside) extend the current run, which is counted in a register and
  // added to the tables when it ends; anything else is counted word by word. The check costs a few
  // logic operations per eight words.
  constexpr std::uint64_t Colour = 0x00FFFFFF00FFFFFFull;
  PixelWord runWord = 0;
  std::int32_t runLength = 0;
  const auto endRun = [&] {
    tables[0][(runWord >> 16) & 255] += runLength;
    tables[1][(runWord >> 8) & 255] += runLength;
    tables[2][runWord & 255] += runLength;
    runLength = 0;
  };
  std::int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t pair[4];
    std::memcpy(pair, pixels + i, sizeof pair);
    const std::uint64_t first = pair[0] & Colour;
    const std::uint64_t differ = (first ^ (pair[1] & Colour)) | (first ^ (pair[2] & Colour)) |
                                 (first ^ (pair[3] & Colour)) | ((first >> 32) ^ (first & 0xFFFFFFFFu));
    if (differ == 0) {
      const auto word = static_cast<PixelWord>(first);
      if (word != runWord) {
        endRun();
        runWord = word;
      }
      runLength += 8;
      continue;
    }
    for (int k = 0; k < 8; ++k) {
      const PixelWord p = pixels[i + k];
      ++tables[0][(p >> 16) & 255];
      ++tables[1][(p >> 8) & 255];
      ++tables[2][p & 255];
    }
  }
  endRun();
  for (; i < count; ++i) {
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
  std::uint8_t lookup[3][256];
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) {
      int mapped = (v - low[c]) * 255 / (high[c] - low[c]);
      if (mapped > 255)
        mapped = 255;
      else if (mapped < 0)
        mapped = 0;
      lookup[c][v] = static_cast<std::uint8_t>(mapped);
    }
  }
  static const bool vbmi = __builtin_cpu_supports("avx512f") &&
                           __builtin_cpu_supports("avx512bw") &&
                           __builtin_cpu_supports("avx512vbmi");
  if (vbmi) {
    MapLevelsAvx512(pixels, count, lookup);
    return;
  }
  for (std::int64_t i = 0; i < count; ++i) {
    const PixelWord p = pixels[i];
    pixels[i] = static_cast<PixelWord>(lookup[0][(p >> 16) & 255]) << 16 |
                static_cast<PixelWord>(lookup[1][(p >> 8) & 255]) << 8 | lookup[2][p & 255];
  }
}

bool StretchPixels(PixelWord* pixels, std::int32_t pixelCount) {
  if (pixels == nullptr || pixelCount < 1) return false;
  // Counting and mapping are split over the hardware threads; each counts into tables of its own
  // and the integer sums do not depend on the split.
  const int parts = PartsFor(pixelCount);
  std::vector<std::int32_t> partTables(static_cast<std::size_t>(parts) * 3 * 256, 0);
  SplitWork(pixelCount, parts, [&](std::int64_t begin, std::int64_t end, int part) {
    auto* own = reinterpret_cast<std::int32_t(*)[256]>(partTables.data() + part * 3 * 256);
    CountLevels(pixels + begin, end - begin, own);
  });
  std::int32_t tables[3][256] = {};
  for (int part = 0; part < parts; ++part)
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) tables[c][v] += partTables[(part * 3 + c) * 256 + v];
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
  SplitWork(pixelCount, parts, [&](std::int64_t begin, std::int64_t end, int) {
    MapLevels(pixels + begin, end - begin, low, high);
  });
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
