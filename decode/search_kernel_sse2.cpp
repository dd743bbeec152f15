// SPDX-License-Identifier: MIT
// Row difference sums with SSE2: PSADBW on four masked pixel words at a time.
#include <emmintrin.h>

#include "decode/kernels.h"

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

std::int64_t Horizontal(__m128i v) {
  // Through memory rather than _mm_cvtsi128_si64, which 32-bit targets lack.
  std::int64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), v);
  return lanes[0] + lanes[1];
}

std::int64_t OneShift(const PixelWord* row, int width, int shift) {
  const int end = width - shift;
  __m128i acc = _mm_setzero_si128();
  int x = 0;
  for (; x + 4 <= end; x += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + shift));
    acc = _mm_add_epi64(acc, _mm_sad_epu8(a, b));
  }
  return Horizontal(acc) + TailSum(row, x, end, shift);
}

}  // namespace

void AddRowSumsSse2(const PixelWord* row, int width, int firstShift, int count,
                    std::int64_t* sums) {
  int k = 0;
  // Four shifts share each load of the unshifted row and keep four independent sums in flight.
  for (; k + 4 <= count; k += 4) {
    const int s = firstShift + k;
    const int common = width - (s + 3);
    __m128i acc0 = _mm_setzero_si128(), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    int x = 0;
    for (; x + 4 <= common; x += 4) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
      const PixelWord* b = row + x + s;
      acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b))));
      acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 1))));
      acc2 = _mm_add_epi64(acc2, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2))));
      acc3 = _mm_add_epi64(acc3, _mm_sad_epu8(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 3))));
    }
    sums[k] += Horizontal(acc0) + TailSum(row, x, width - s, s);
    sums[k + 1] += Horizontal(acc1) + TailSum(row, x, width - s - 1, s + 1);
    sums[k + 2] += Horizontal(acc2) + TailSum(row, x, width - s - 2, s + 2);
    sums[k + 3] += Horizontal(acc3) + TailSum(row, x, width - s - 3, s + 3);
  }
  for (; k < count; ++k) sums[k] += OneShift(row, width, firstShift + k);
}
