// SPDX-License-Identifier: MIT
// Timings of the stage kernels: the search (scalar reference against the shipped vector kernel, one
// thread and all), the difference and the stretch against a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "decode/kernels.h"

namespace {

// A random-dot stereogram: each row repeats its first `period` dots, and inside a centred disc
// the repeat is `period - 6`, which is what hides a shape.
std::vector<PixelWord> MakeDotStereogram(int width, int height, int period) {
  std::mt19937 random(12345);
  std::vector<PixelWord> pixels(static_cast<std::size_t>(width) * height);
  const double cx = width / 2.0, cy = height / 2.0, radius = height / 4.0;
  for (int y = 0; y < height; ++y) {
    PixelWord* row = pixels.data() + static_cast<std::size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const double dx = x - cx, dy = y - cy;
      const int separation = (dx * dx + dy * dy < radius * radius) ? period - 6 : period;
      row[x] = x < separation ? (random() & 0x00FFFFFFu) : row[x - separation];
    }
  }
  return pixels;
}

const std::vector<PixelWord>& Stereogram(int width) {
  static std::vector<PixelWord> small = MakeDotStereogram(1000, 800, 140);
  static std::vector<PixelWord> large = MakeDotStereogram(4000, 3000, 560);
  return width == 1000 ? small : large;
}

void RunSearch(benchmark::State& state, SearchKernel kernel, int threads) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const std::vector<PixelWord>& pixels = Stereogram(width);
  int found = 0;
  for (auto _ : state) {
    const RepeatSearch result =
        SearchRepeatWidth(pixels.data(), width, height, kernel, threads, nullptr, nullptr);
    found = result.shift;
    benchmark::DoNotOptimize(found);
  }
  state.counters["repeat_width"] = found;
  state.counters["threads"] = threads;
  state.SetLabel(SearchKernelName(kernel));
}

void BM_SearchScalar(benchmark::State& state) { RunSearch(state, SearchKernel::Scalar, 1); }
void BM_SearchShipped(benchmark::State& state) { RunSearch(state, ShippedSearchKernel(), 1); }
void BM_SearchShippedThreaded(benchmark::State& state) {
  RunSearch(state, ShippedSearchKernel(), HardwareThreads());
}

constexpr int PassWidth = 2000;
constexpr int PassHeight = 1500;
constexpr int PassRepeat = 280;

// The stereogram the difference pass reads, and the mostly black difference the stretch reads.
const std::vector<PixelWord>& PassStereogram() {
  static std::vector<PixelWord> pixels = MakeDotStereogram(PassWidth, PassHeight, PassRepeat);
  return pixels;
}

std::vector<PixelWord> PassDifference() {
  std::vector<PixelWord> result(static_cast<std::size_t>(PassWidth - PassRepeat) * PassHeight);
  DifferencePixels(PassStereogram().data(), PassWidth, PassHeight, PassRepeat, result.data());
  return result;
}

void BM_Difference(benchmark::State& state) {
  const std::vector<PixelWord>& source = PassStereogram();
  std::vector<PixelWord> result(static_cast<std::size_t>(PassWidth - PassRepeat) * PassHeight);
  for (auto _ : state) {
    DifferencePixels(source.data(), PassWidth, PassHeight, PassRepeat, result.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source.size()) * 4);
}

// Each stretch gets the unstretched difference again (outside the timing): stretching in place
// twice would find the levels already spread and have almost nothing left to map.
void BM_Stretch(benchmark::State& state) {
  const std::vector<PixelWord> difference = PassDifference();
  std::vector<PixelWord> pixels(difference.size());
  for (auto _ : state) {
    state.PauseTiming();
    pixels = difference;
    state.ResumeTiming();
    benchmark::DoNotOptimize(StretchPixels(pixels.data(), static_cast<std::int32_t>(pixels.size())));
    benchmark::ClobberMemory();
  }
  // The bytes counted are a whole stereogram's, as for the difference and the copy.
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(PassWidth) * PassHeight * 4);
}

// The stretch's two passes alone, on one thread: counting the levels and mapping them.
void BM_StretchCount(benchmark::State& state) {
  const std::vector<PixelWord> pixels = PassDifference();
  for (auto _ : state) {
    std::int32_t tables[3][256] = {};
    CountLevels(pixels.data(), static_cast<std::int64_t>(pixels.size()), tables);
    benchmark::DoNotOptimize(tables);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(PassWidth) * PassHeight * 4);
}

void BM_StretchMap(benchmark::State& state) {
  const std::vector<PixelWord> difference = PassDifference();
  std::vector<PixelWord> pixels(difference.size());
  const int low[3] = {0, 0, 0}, high[3] = {200, 200, 200};
  for (auto _ : state) {
    state.PauseTiming();
    pixels = difference;
    state.ResumeTiming();
    MapLevels(pixels.data(), static_cast<std::int64_t>(pixels.size()), low, high);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(PassWidth) * PassHeight * 4);
}

// The same bytes as a whole stereogram of the passes above.
void BM_Memcpy(benchmark::State& state) {
  const std::vector<PixelWord>& source = PassStereogram();
  std::vector<PixelWord> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size() * sizeof(PixelWord));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(source.size()) * 4);
}

}  // namespace

BENCHMARK(BM_SearchScalar)->Args({1000, 800})->Unit(benchmark::kMillisecond)->Iterations(2)
    ->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_SearchScalar)->Args({4000, 3000})->Unit(benchmark::kMillisecond)->Iterations(1)
    ->Repetitions(1);
BENCHMARK(BM_SearchShipped)->Args({1000, 800})->Args({4000, 3000})->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->ReportAggregatesOnly(true);
// Threaded cases: wall-clock time, and the CPU column is the whole process's, so that the
// work the threads add shows even when the machine is too busy to run them side by side.
BENCHMARK(BM_SearchShippedThreaded)->Args({1000, 800})->Args({4000, 3000})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Difference)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Stretch)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()
    ->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_StretchCount)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_StretchMap)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
