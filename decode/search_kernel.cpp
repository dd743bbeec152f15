// SPDX-License-Identifier: MIT
// The repeat-width search kernel: scalar reference, run-time choice of the vector kernel, shifts
// spread over threads, and the choice of the winning shift.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "decode/kernels.h"

namespace {

// Shifts per unit of work: each sampled row is read from memory once per group and stays in L1
// while every shift of the group runs over it, so large groups save memory traffic; a few groups per
// thread keep the threads evenly loaded.
int GroupSize(int candidates, int threads) {
  return std::clamp(candidates / (2 * std::max(threads, 1)), 8, 128);
}

SearchKernel DetectKernel() {
  __builtin_cpu_init();
  if (SearchKernelAvailable(SearchKernel::Avx512Packed)) return SearchKernel::Avx512Packed;
  if (SearchKernelAvailable(SearchKernel::Avx512)) return SearchKernel::Avx512;
  if (__builtin_cpu_supports("avx2")) return SearchKernel::Avx2;
  if (__builtin_cpu_supports("sse2")) return SearchKernel::Sse2;
  return SearchKernel::Scalar;
}

struct SumJob {
  SearchKernel kernel;
  const PixelWord* pixels;
  int width;
  int height;
  int first;
  int last;
  std::int64_t* sums;
  CandidateHook hook;
  void* context;
  int groupSize;
  bool maskRows;  // the top bytes differ somewhere, so rows are masked into a copy first
  std::mutex claimLock;
  int nextShift;
};

// Hands out the next group of shifts in increasing order and announces its candidates; returns
// the group's size, 0 when every shift has been handed out.
int ClaimGroup(SumJob& job, int& start) {
  std::lock_guard<std::mutex> guard(job.claimLock);
  if (job.nextShift > job.last) return 0;
  start = job.nextShift;
  const int count = std::min(job.groupSize, job.last - start + 1);
  job.nextShift = start + count;
  if (job.hook != nullptr)
    for (int s = start; s < start + count; ++s) job.hook(s, job.context);
  return count;
}

// PSADBW adds the top bytes' difference too; where every sampled top byte is the same (0 in a
// 24-bit image, 255 in an opaque 32-bit one) that difference is 0 and the rows need no masking.
bool SampledTopBytesUniform(const PixelWord* pixels, int width, int height) {
  const PixelWord top = pixels[0] & 0xFF000000u;
  PixelWord differ = 0;
  for (int y = 0; y < height; y += 2) {
    const PixelWord* row = pixels + static_cast<std::size_t>(y) * width;
    for (int x = 0; x < width; ++x) differ |= (row[x] & 0xFF000000u) ^ top;
    if (differ != 0) return false;
  }
  return true;
}

void RunSumWorker(SumJob& job) {
  std::vector<PixelWord> row;
  std::vector<std::uint8_t> packed;
  if (job.kernel == SearchKernel::Avx512Packed) {
    packed.resize(3 * static_cast<std::size_t>(job.width));
  } else if (job.maskRows) {
    row.resize(static_cast<std::size_t>(job.width));
  }
  int start = 0;
  for (int count = ClaimGroup(job, start); count > 0; count = ClaimGroup(job, start)) {
    std::int64_t* sums = job.sums + (start - job.first);
    if (job.kernel == SearchKernel::Scalar) {
      for (int k = 0; k < count; ++k)
        sums[k] = ShiftSumReference(job.pixels, job.width, job.height, start + k);
      continue;
    }
    std::fill(sums, sums + count, 0);
    for (int y = 0; y < job.height; y += 2) {
      const PixelWord* source = job.pixels + static_cast<std::size_t>(y) * job.width;
      if (y + 2 < job.height) {
        // The next sampled row streams in while this one is compared at every shift of the group.
        const PixelWord* next = source + 2 * static_cast<std::size_t>(job.width);
        for (int x = 0; x < job.width; x += 16) __builtin_prefetch(next + x, 0, 3);
      }
      if (job.kernel == SearchKernel::Avx512Packed) {
        PackRowAvx512(source, job.width, packed.data());
        AddPackedRowSumsAvx512(packed.data(), job.width, start, count, sums);
        continue;
      }
      if (job.maskRows) {
        for (int x = 0; x < job.width; ++x) row[x] = source[x] & 0x00FFFFFFu;
        source = row.data();
      }
      AddRowSums(job.kernel, source, job.width, start, count, sums);
    }
  }
}

}  // namespace

bool SearchKernelAvailable(SearchKernel kernel) {
  switch (kernel) {
    case SearchKernel::Scalar:
      return true;
    case SearchKernel::Sse2:
      return __builtin_cpu_supports("sse2");
    case SearchKernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case SearchKernel::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case SearchKernel::Avx512Packed:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi");
  }
  return false;
}

SearchKernel ShippedSearchKernel() {
  static const SearchKernel chosen = DetectKernel();
  return chosen;
}

const char* SearchKernelName(SearchKernel kernel) {
  switch (kernel) {
    case SearchKernel::Scalar:
      return "scalar";
    case SearchKernel::Sse2:
      return "sse2";
    case SearchKernel::Avx2:
      return "avx2";
    case SearchKernel::Avx512:
      return "avx512bw";
    case SearchKernel::Avx512Packed:
      return "avx512vbmi-packed";
  }
  return "unknown";
}

int HardwareThreads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 256u));
}

std::int64_t ShiftSumReference(const PixelWord* pixels, int width, int height, int shift) {
  std::int64_t sum = 0;
  for (int y = 0; y <= height - 1; y += 2) {
    for (int x = 0; x <= width - shift - 1; ++x) {
      const PixelWord p = pixels[y * width + x] & 0x00FFFFFFu;
      const PixelWord q = pixels[y * width + x + shift] & 0x00FFFFFFu;
      const int dr = static_cast<int>((p >> 16) & 255) - static_cast<int>((q >> 16) & 255);
      const int dg = static_cast<int>((p >> 8) & 255) - static_cast<int>((q >> 8) & 255);
      const int db = static_cast<int>(p & 255) - static_cast<int>(q & 255);
      sum += std::abs(dr) + std::abs(dg) + std::abs(db);
    }
  }
  return sum;
}

void AddRowSums(SearchKernel kernel, const PixelWord* row, int width, int firstShift, int count,
                std::int64_t* sums) {
  switch (kernel) {
    case SearchKernel::Avx512Packed: {
      std::vector<std::uint8_t> packed(3 * static_cast<std::size_t>(width));
      PackRowAvx512(row, width, packed.data());
      AddPackedRowSumsAvx512(packed.data(), width, firstShift, count, sums);
      return;
    }
    case SearchKernel::Avx512:
      AddRowSumsAvx512(row, width, firstShift, count, sums);
      return;
    case SearchKernel::Avx2:
      AddRowSumsAvx2(row, width, firstShift, count, sums);
      return;
    case SearchKernel::Sse2:
      AddRowSumsSse2(row, width, firstShift, count, sums);
      return;
    case SearchKernel::Scalar:
      for (int k = 0; k < count; ++k) sums[k] += ShiftSumReference(row, width, 1, firstShift + k);
      return;
  }
}

void ComputeShiftSums(SearchKernel kernel, int threads, const PixelWord* pixels, int width,
                      int height, int first, int last, std::int64_t* sums, CandidateHook hook,
                      void* context) {
  if (last < first) return;
  const int groupSize = GroupSize(last - first + 1, threads);
  const bool maskRows = kernel != SearchKernel::Scalar && kernel != SearchKernel::Avx512Packed &&
                        !SampledTopBytesUniform(pixels, width, height);
  SumJob job{kernel, pixels, width,     height,   first, last, sums,
             hook,   context, groupSize, maskRows, {},    first};
  const int groups = (last - first) / groupSize + 1;
  const int helpers = std::max(0, std::min(threads, groups) - 1);
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(helpers));
  for (int i = 0; i < helpers; ++i) {
    try {
      pool.emplace_back(RunSumWorker, std::ref(job));
    } catch (const std::system_error&) {
      break;  // fewer threads; the calling thread still does all remaining work
    }
  }
  RunSumWorker(job);
  for (std::thread& t : pool) t.join();
}

float ShiftScore(std::int64_t sum, int width, int height, int shift) {
  const double divisor = static_cast<double>(height) * static_cast<double>(width - 2 * shift);
  return static_cast<float>(static_cast<double>(sum) / divisor);
}

int CandidatePercent(int shift, int first, int last) {
  if (last == first) return 100;
  return ((shift - first) * 100) / (last - first);
}

RepeatSearch SearchRepeatWidth(const PixelWord* pixels, int width, int height, SearchKernel kernel,
                               int threads, CandidateHook hook, void* context) {
  RepeatSearch result{width >> 4, width >> 2, -1, -1.0f, {}};
  if (result.last < result.first) return result;
  result.sums.assign(static_cast<std::size_t>(result.last - result.first + 1), 0);
  ComputeShiftSums(kernel, threads, pixels, width, height, result.first, result.last,
                   result.sums.data(), hook, context);
  // In increasing shift order: a later candidate must score strictly less to replace the one held,
  // so of equal scores the smallest shift stays; 0 and NaN are never retained.
  float best = -1.0f;
  for (int shift = result.first; shift <= result.last; ++shift) {
    const float score = ShiftScore(result.sums[shift - result.first], width, height, shift);
    if ((best < 0.0f || score < best) && score != 0.0f && !std::isnan(score)) {
      best = score;
      result.shift = shift;
      result.score = score;
    }
  }
  return result;
}
