// SPDX-License-Identifier: MIT
// Row difference sums with AVX2: PSADBW on eight masked pixel words at a time.
#include <immintrin.h>

#include "decode/kernels.h"

#pragma GCC target("avx2")

namespace {

std::int64_t TailSum(const PixelWord* row, int from, int to, int shift) {
  std::int64_t sum = 0;
  for (int x = from; x < to; ++x) {
    const PixelWord p = row[x];
    const PixelWord q = row[x + shift];
    const int dr = static_cast<int>((p >> 16) & 255) - static_cast<int>((q >> 16) & 255);
    const int dg = static_cast<int>((p >> 8) & 255) - static_cast<int>((q >> 8) & 255);
    const int db = static_cast<int>(p & 255) - static_cast<int>(q & 255);
    sum += (dr < 0 ? -dr : dr) + (dg < 0 ? -dg : dg) + (db < 0 ? -db : db);
  }
  return sum;
}

inline __m256i Load(const PixelWord* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

std::int64_t Horizontal(__m256i v) {
  const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  // Through memory rather than _mm_cvtsi128_si64, which 32-bit targets lack.
  std::int64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), s);
  return lanes[0] + lanes[1];
}

std::int64_t OneShift(const PixelWord* row, int width, int shift) {
  const int end = width - shift;
  __m256i acc = _mm256_setzero_si256();
  int x = 0;
  for (; x + 8 <= end; x += 8) acc = _mm256_add_epi64(acc, _mm256_sad_epu8(Load(row + x), Load(row + x + shift)));
  return Horizontal(acc) + TailSum(row, x, end, shift);
}

}  // namespace

void AddRowSumsAvx2(const PixelWord* row, int width, int firstShift, int count,
                    std::int64_t* sums) {
  int k = 0;
  // Four shifts share each load of the unshifted row and keep four independent sums in flight.
  for (; k + 4 <= count; k += 4) {
    const int s = firstShift + k;
    const int common = width - (s + 3);
    __m256i acc0 = _mm256_setzero_si256(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    int x = 0;
    for (; x + 8 <= common; x += 8) {
      const __m256i a = Load(row + x);
      const PixelWord* b = row + x + s;
      acc0 = _mm256_add_epi64(acc0, _mm256_sad_epu8(a, Load(b)));
      acc1 = _mm256_add_epi64(acc1, _mm256_sad_epu8(a, Load(b + 1)));
      acc2 = _mm256_add_epi64(acc2, _mm256_sad_epu8(a, Load(b + 2)));
      acc3 = _mm256_add_epi64(acc3, _mm256_sad_epu8(a, Load(b + 3)));
    }
    sums[k] += Horizontal(acc0) + TailSum(row, x, width - s, s);
    sums[k + 1] += Horizontal(acc1) + TailSum(row, x, width - s - 1, s + 1);
    sums[k + 2] += Horizontal(acc2) + TailSum(row, x, width - s - 2, s + 2);
    sums[k + 3] += Horizontal(acc3) + TailSum(row, x, width - s - 3, s + 3);
  }
  for (; k < count; ++k) sums[k] += OneShift(row, width, firstShift + k);
}
