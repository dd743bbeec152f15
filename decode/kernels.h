// SPDX-License-Identifier: MIT
// Pure kernels of the three stages: plain pixel blocks in, results out; no image store, no windows.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/pixel_buffer.h"

// ---------------------------------------------------------------------------------------------
// Repeat-width search

// The ways to add up the differences between a picture and its shifted copy. All give the same sums.
enum class SearchKernel : int { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3, Avx512Packed = 4 };

bool SearchKernelAvailable(SearchKernel kernel);   // the CPU and OS can run it
SearchKernel ShippedSearchKernel();                // the fastest available; decided once per process
const char* SearchKernelName(SearchKernel kernel); // "scalar", "sse2", "avx2", "avx512bw", ...
int HardwareThreads();                             // at least 1

// The reference: sum over rows 0, 2, 4, ... and columns x < width - shift of |dR| + |dG| + |dB|
// between the pixels at x and x + shift, every word masked with 0x00FFFFFF first.
std::int64_t ShiftSumReference(const PixelWord* pixels, int width, int height, int shift);

// For each shift s in [firstShift, firstShift + count): adds the difference sum of one row against
// itself shifted by s (columns x < width - s) to sums[s - firstShift]. The row's top bytes must
// all be equal (they then add nothing). Shifts must lie in 0..width.
void AddRowSums(SearchKernel kernel, const PixelWord* row, int width, int firstShift, int count,
                std::int64_t* sums);

// The same, one instruction set each (AddRowSums dispatches to them). Only call those the CPU runs.
void AddRowSumsSse2(const PixelWord* row, int width, int firstShift, int count, std::int64_t* sums);
void AddRowSumsAvx2(const PixelWord* row, int width, int firstShift, int count, std::int64_t* sums);
void AddRowSumsAvx512(const PixelWord* row, int width, int firstShift, int count,
                      std::int64_t* sums);
// The packed form (AVX-512 VBMI): a row as 3 x width bytes blue, green, red, without the top byte.
void PackRowAvx512(const PixelWord* row, int width, std::uint8_t* packed);
void AddPackedRowSumsAvx512(const std::uint8_t* packed, int width, int firstShift, int count,
                            std::int64_t* sums);

// Called once for every candidate shift, in increasing order, when its work begins.
using CandidateHook = void (*)(int shift, void* context);

// Sums for every shift from `first` to `last` into sums[shift - first] (sums holds last - first + 1
// values), on `threads` threads (1: the calling thread only). The sums do not depend on the kernel
// or the thread count. `hook` may be null; it runs on whichever thread claims the candidate, never
// on two threads at once.
void ComputeShiftSums(SearchKernel kernel, int threads, const PixelWord* pixels, int width,
                      int height, int first, int last, std::int64_t* sums, CandidateHook hook,
                      void* context);

// The candidate's score: sum / (height x (width - 2 x shift)) formed in double, kept as a float.
float ShiftScore(std::int64_t sum, int width, int height, int shift);

// ProgressPercent at the start of candidate `shift`: ((shift - first) x 100) / (last - first),
// and 100 when first == last.
int CandidatePercent(int shift, int first, int last);

struct RepeatSearch {
  int first;                       // width >> 4
  int last;                        // width >> 2
  int shift;                       // the retained candidate, or -1 when none was retained
  float score;                     // its score, or -1 when none was retained
  std::vector<std::int64_t> sums;  // sums[shift - first] for every candidate
};

// Scores every shift from width >> 4 to width >> 2 and retains the first smallest non-zero
// score. Needs width and height of 1..32767.
RepeatSearch SearchRepeatWidth(const PixelWord* pixels, int width, int height, SearchKernel kernel,
                               int threads, CandidateHook hook, void* context);

// ---------------------------------------------------------------------------------------------
// Difference image

// result (width - repeat) x height: per channel |source(x, y) - source(x + repeat, y)|, top byte 0.
// Needs 0 <= repeat < width.
void DifferencePixels(const PixelWord* source, int width, int height, int repeat,
                      PixelWord* result);
void DifferencePixelsReference(const PixelWord* source, int width, int height, int repeat,
                               PixelWord* result);

// ---------------------------------------------------------------------------------------------
// Level stretch

constexpr float LowClipPercent = 0.5f;
constexpr float HighClipPercent = 0.5f;

// pixelCount x percent / 100 rounded to the nearest integer, halves to even.
std::int32_t ClipCount(std::int32_t pixelCount, float percent);

// Per-channel histograms (index 0 red, 1 green, 2 blue) of `count` words; the top byte is ignored.
void CountLevels(const PixelWord* pixels, std::int64_t count, std::int32_t tables[3][256]);

// The smallest level L with table[0] + ... + table[L] > clip (255 when never).
int FindLowLevel(const std::int32_t table[256], std::int32_t clip);
// The largest level H with table[H] + ... + table[255] > clip (0 when never).
int FindHighLevel(const std::int32_t table[256], std::int32_t clip);

// Maps each channel v to clamp((v - low) x 255 / (high - low), 0, 255), top byte 0. Needs
// high > low in every channel; index 0 red, 1 green, 2 blue.
void MapLevels(PixelWord* pixels, std::int64_t count, const int low[3], const int high[3]);

// The mapping with per-channel byte tables (index 0 red, 1 green, 2 blue); top byte 0. Only on a
// CPU with AVX-512 VBMI.
void MapLevelsAvx512(PixelWord* pixels, std::int64_t count, const std::uint8_t tables[3][256]);

// The whole stretch on a block of pixelCount words: false (block untouched) when pixelCount < 1
// or a channel collapses to one level; true when the block was stretched.
bool StretchPixels(PixelWord* pixels, std::int32_t pixelCount);
