// SPDX-License-Identifier: MIT
// The difference stage: every pixel against its partner one repeat width to the right.
#include <emmintrin.h>

#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "decode/stages.h"
#include "platform/platform.h"

namespace {

PixelWord DifferenceWord(PixelWord p, PixelWord q) {
  const int dr = static_cast<int>((p >> 16) & 255) - static_cast<int>((q >> 16) & 255);
  const int dg = static_cast<int>((p >> 8) & 255) - static_cast<int>((q >> 8) & 255);
  const int db = static_cast<int>(p & 255) - static_cast<int>(q & 255);
  return static_cast<PixelWord>((dr < 0 ? -dr : dr) * 65536 + (dg < 0 ? -dg : dg) * 256 +
                                (db < 0 ? -db : db));
}

}  // namespace

void DifferencePixelsReference(const PixelWord* source, int width, int height, int repeat,
                               PixelWord* result) {
  const int out = width - repeat;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < out; ++x)
      result[y * out + x] = DifferenceWord(source[y * width + x] & 0x00FFFFFFu,
                                           source[y * width + x + repeat] & 0x00FFFFFFu);
}

void DifferencePixels(const PixelWord* source, int width, int height, int repeat,
                      PixelWord* result) {
  const int out = width - repeat;
  // Saturating subtraction both ways gives |a - b| per byte; the channels cannot carry, and the
  // mask clears the top byte.
  const __m128i mask = _mm_set1_epi32(0x00FFFFFF);
  for (int y = 0; y < height; ++y) {
    const PixelWord* row = source + static_cast<std::size_t>(y) * width;
    PixelWord* target = result + static_cast<std::size_t>(y) * out;
    int x = 0;
    for (; x + 4 <= out; x += 4) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + repeat));
      const __m128i d = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(target + x), _mm_and_si128(d, mask));
    }
    for (; x < out; ++x)
      target[x] = DifferenceWord(row[x] & 0x00FFFFFFu, row[x + repeat] & 0x00FFFFFFu);
  }
}

int BuildDifferenceImage(int /*value*/) {
  if (!ImageExists(0)) return 0;
  const int width = ImageWidth(0);
  const int height = ImageHeight(0);
  const int depth = ImageDepth(0);
  if (width < 1 || height < 1 || width > ImageMaxSide || height > ImageMaxSide) return 0;
  auto* sourceBlock = static_cast<PixelWord*>(AllocateBlock(PixelBlockBytes(width, height)));
  if (sourceBlock == nullptr) return 0;
  ReadPixels(0, sourceBlock);
  const PixelBuffer source{sourceBlock, static_cast<std::int16_t>(width),
                           static_cast<std::int16_t>(height), static_cast<std::int8_t>(depth)};

  // W - R of 0 or less gives a byte count of 0 or less, which the memory service refuses. A
  // negative R would pair pixels outside the row.
  const int repeat = RepeatWidth;
  auto* resultBlock =
      repeat < 0 ? nullptr
                 : static_cast<PixelWord*>(AllocateBlock(PixelBlockBytes(width - repeat, height)));
  if (resultBlock == nullptr) {
    FreeBlock(sourceBlock);
    return 0;
  }
  const PixelBuffer result{resultBlock, static_cast<std::int16_t>(width - repeat),
                           static_cast<std::int16_t>(height), static_cast<std::int8_t>(depth)};

  DifferencePixels(source.pixels, source.width, source.height, repeat, result.pixels);
  FreeBlock(sourceBlock);

  CreateImage(1, result.width, result.height, result.depth);
  WritePixels(result.pixels, 1);
  FreeBlock(resultBlock);
  return 0;
}
