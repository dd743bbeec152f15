// SPDX-License-Identifier: MIT
// Row difference sums with AVX-512BW: PSADBW on sixteen masked pixel words at a time, masked loads
// for the row ends.
#include <immintrin.h>

#include "decode/kernels.h"

#pragma GCC target("avx512f,avx512bw")

namespace {

inline __m512i Load(const PixelWord* p) { return _mm512_loadu_si512(p); }

inline __mmask16 Lanes(int remaining) {
  return remaining >= 16 ? static_cast<__mmask16>(0xFFFF)
                         : static_cast<__mmask16>((1u << remaining) - 1u);
}

// Columns from..end-1 against their partners `shift` to the right; lanes past the end load as
// zero on both sides and add nothing.
__m512i AddTail(__m512i acc, const PixelWord* row, int from, int end, int shift) {
  for (int x = from; x < end; x += 16) {
    const __mmask16 m = Lanes(end - x);
    acc = _mm512_add_epi64(acc, _mm512_sad_epu8(_mm512_maskz_loadu_epi32(m, row + x),
                                                 _mm512_maskz_loadu_epi32(m, row + x + shift)));
  }
  return acc;
}

// Through memory: GCC 12's lane-extracting intrinsics trip -Wmaybe-uninitialized.
std::int64_t Horizontal(__m512i v) {
  alignas(64) std::int64_t lanes[8];
  _mm512_store_si512(lanes, v);
  return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

}  // namespace

void AddRowSumsAvx512(const PixelWord* row, int width, int firstShift, int count,
                      std::int64_t* sums) {
  int k = 0;
  // Eight shifts share each load of the unshifted row and keep eight independent sums in flight.
  for (; k + 8 <= count; k += 8) {
    const int s = firstShift + k;
    const int common = width - (s + 7);
    __m512i acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = _mm512_setzero_si512();
    int x = 0;
    for (; x + 16 <= common; x += 16) {
      const __m512i a = Load(row + x);
      const PixelWord* b = row + x + s;
      acc[0] = _mm512_add_epi64(acc[0], _mm512_sad_epu8(a, Load(b)));
      acc[1] = _mm512_add_epi64(acc[1], _mm512_sad_epu8(a, Load(b + 1)));
      acc[2] = _mm512_add_epi64(acc[2], _mm512_sad_epu8(a, Load(b + 2)));
      acc[3] = _mm512_add_epi64(acc[3], _mm512_sad_epu8(a, Load(b + 3)));
      acc[4] = _mm512_add_epi64(acc[4], _mm512_sad_epu8(a, Load(b + 4)));
      acc[5] = _mm512_add_epi64(acc[5], _mm512_sad_epu8(a, Load(b + 5)));
      acc[6] = _mm512_add_epi64(acc[6], _mm512_sad_epu8(a, Load(b + 6)));
      acc[7] = _mm512_add_epi64(acc[7], _mm512_sad_epu8(a, Load(b + 7)));
    }
    for (int j = 0; j < 8; ++j)
      sums[k + j] += Horizontal(AddTail(acc[j], row, x, width - s - j, s + j));
  }
  for (; k < count; ++k) {
    const int s = firstShift + k;
    sums[k] += Horizontal(AddTail(_mm512_setzero_si512(), row, 0, width - s, s));
  }
}

// Rows packed to three bytes a pixel (blue, green, red) waste no SAD lanes on the top byte: a
// quarter fewer PSADBW per pixel pair. Packing needs VBMI's byte permute.
#pragma GCC target("avx512f,avx512bw,avx512vbmi")

void PackRowAvx512(const PixelWord* row, int width, std::uint8_t* packed) {
  alignas(64) std::uint8_t order[64];
  for (int i = 0; i < 64; ++i) order[i] = static_cast<std::uint8_t>(i < 48 ? i / 3 * 4 + i % 3 : 0);
  const __m512i index = _mm512_load_si512(order);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m512i words = _mm512_loadu_si512(row + x);
    _mm512_mask_storeu_epi8(packed + 3 * x, 0x0000FFFFFFFFFFFFull,
                            _mm512_maskz_permutexvar_epi8(~0ull, index, words));
  }
  for (; x < width; ++x) {
    packed[3 * x] = static_cast<std::uint8_t>(row[x]);
    packed[3 * x + 1] = static_cast<std::uint8_t>(row[x] >> 8);
    packed[3 * x + 2] = static_cast<std::uint8_t>(row[x] >> 16);
  }
}

namespace {

inline __mmask64 ByteLanes(int remaining) {
  return remaining >= 64 ? ~0ull : (1ull << remaining) - 1ull;
}

__m512i AddPackedTail(__m512i acc, const std::uint8_t* bytes, int from, int end, int offset) {
  for (int i = from; i < end; i += 64) {
    const __mmask64 m = ByteLanes(end - i);
    acc = _mm512_add_epi64(acc, _mm512_sad_epu8(_mm512_maskz_loadu_epi8(m, bytes + i),
                                                 _mm512_maskz_loadu_epi8(m, bytes + i + offset)));
  }
  return acc;
}

}  // namespace

void AddPackedRowSumsAvx512(const std::uint8_t* packed, int width, int firstShift, int count,
                            std::int64_t* sums) {
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    const int s = firstShift + k;
    const int common = 3 * (width - (s + 7));
    __m512i acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = _mm512_setzero_si512();
    int i = 0;
    for (; i + 64 <= common; i += 64) {
      const __m512i a = _mm512_loadu_si512(packed + i);
      const std::uint8_t* b = packed + i + 3 * s;
      acc[0] = _mm512_add_epi64(acc[0], _mm512_sad_epu8(a, _mm512_loadu_si512(b)));
      acc[1] = _mm512_add_epi64(acc[1], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 3)));
      acc[2] = _mm512_add_epi64(acc[2], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 6)));
      acc[3] = _mm512_add_epi64(acc[3], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 9)));
      acc[4] = _mm512_add_epi64(acc[4], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 12)));
      acc[5] = _mm512_add_epi64(acc[5], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 15)));
      acc[6] = _mm512_add_epi64(acc[6], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 18)));
      acc[7] = _mm512_add_epi64(acc[7], _mm512_sad_epu8(a, _mm512_loadu_si512(b + 21)));
    }
    for (int j = 0; j < 8; ++j)
      sums[k + j] += Horizontal(AddPackedTail(acc[j], packed, i, 3 * (width - s - j), 3 * (s + j)));
  }
  for (; k < count; ++k) {
    const int s = firstShift + k;
    sums[k] += Horizontal(AddPackedTail(_mm512_setzero_si512(), packed, 0, 3 * (width - s), 3 * s));
  }
}
