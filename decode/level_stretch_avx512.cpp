// SPDX-License-Identifier: MIT
// The level stretch's mapping pass with AVX-512 VBMI: three 256-entry byte tables looked up
// sixty-four bytes at a time.
#include <immintrin.h>

#include "decode/kernels.h"

#pragma GCC target("avx512f,avx512bw,avx512vbmi")

void MapLevelsAvx512(PixelWord* pixels, std::int64_t count, const std::uint8_t tables[3][256]) {
  // Each 256-entry table as four 64-byte quarters; two-source byte permutes cover 128 entries, the
  // top bit of the index picks the half.
  __m512i quarter[3][4];
  for (int c = 0; c < 3; ++c)
    for (int q = 0; q < 4; ++q) quarter[c][q] = _mm512_loadu_si512(tables[c] + 64 * q);
  // Byte lanes of blue, green and red in the little-endian words; the top byte is left at 0.
  const __mmask64 blue = 0x1111111111111111ull;
  const __mmask64 green = blue << 1;
  const __mmask64 red = blue << 2;
  std::int64_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m512i v = _mm512_loadu_si512(pixels + i);
    const __mmask64 high = _mm512_movepi8_mask(v);
    __m512i out = _mm512_setzero_si512();
    const __mmask64 lanes[3] = {red, green, blue};
    for (int c = 0; c < 3; ++c) {
      const __m512i low = _mm512_permutex2var_epi8(quarter[c][0], v, quarter[c][1]);
      const __m512i up = _mm512_permutex2var_epi8(quarter[c][2], v, quarter[c][3]);
      out = _mm512_mask_mov_epi8(out, lanes[c], _mm512_mask_blend_epi8(high, low, up));
    }
    // Black maps to black: blocks the mapping leaves as they were are not written back, so their
    // cache lines stay clean and cost no write to memory.
    if (_mm512_cmpneq_epi32_mask(out, v) != 0) _mm512_storeu_si512(pixels + i, out);
  }
  for (; i < count; ++i) {
    const PixelWord p = pixels[i];
    pixels[i] = static_cast<PixelWord>(tables[0][(p >> 16) & 255]) << 16 |
                static_cast<PixelWord>(tables[1][(p >> 8) & 255]) << 8 | tables[2][p & 255];
  }
}
