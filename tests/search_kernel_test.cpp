// SPDX-License-Identifier: MIT
// Every vector search kernel, threaded or not, gives exactly the scalar reference's sums and choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "decode/kernels.h"

namespace {

std::vector<PixelWord> RandomPixels(int width, int height, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<PixelWord> pixels(static_cast<std::size_t>(width) * height);
  for (PixelWord& p : pixels) p = random();  // top bytes random too: every kernel must mask them
  return pixels;
}

// Random dots repeating every `period` pixels, with a band shifted by `depth` pixels, plus noise,
// so that scores differ in their last bits across many shifts.
std::vector<PixelWord> DotStereogram(int width, int height, int period, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<PixelWord> pixels(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    PixelWord* row = pixels.data() + static_cast<std::size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const int inside = (y > height / 3 && y < 2 * height / 3 && x > width / 3 && x < 2 * width / 3);
      const int source = x - period + inside * 3;
      row[x] = (x < period || source < 0) ? random() : row[source];
    }
  }
  return pixels;
}

const SearchKernel AllKernels[] = {SearchKernel::Scalar, SearchKernel::Sse2, SearchKernel::Avx2,
                                   SearchKernel::Avx512, SearchKernel::Avx512Packed};

struct Size {
  int width;
  int height;
};

TEST(SearchKernel, RowSumsEqualReferenceForEveryShiftAndWidth) {
  const int widths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 18, 19, 20, 31, 33, 63, 64, 65, 1001};
  for (SearchKernel kernel : AllKernels) {
    if (!SearchKernelAvailable(kernel)) continue;
    for (int width : widths) {
      std::vector<PixelWord> row = RandomPixels(width, 1, static_cast<std::uint32_t>(width));
      for (PixelWord& p : row) p &= 0x00FFFFFFu;
      // Every shift from 0 to width, in groups of every size, so each grouped path and tail runs.
      for (int group = 1; group <= 9; group += 2) {
        for (int first = 0; first <= width; first += group) {
          const int count = std::min(group, width - first + 1);
          std::vector<std::int64_t> sums(count, 7), expected(count, 7);
          AddRowSums(kernel, row.data(), width, first, count, sums.data());
          for (int k = 0; k < count; ++k)
            expected[k] += ShiftSumReference(row.data(), width, 1, first + k);
          ASSERT_EQ(sums, expected) << SearchKernelName(kernel) << " width " << width
                                    << " shifts " << first << "+" << count;
        }
      }
    }
  }
}

TEST(SearchKernel, ImageSumsEqualReferenceOnRandomImages) {
  const Size sizes[] = {{1, 1}, {3, 2}, {5, 3}, {17, 4}, {16, 5}, {64, 7}, {100, 50}, {1001, 9}};
  // Top bytes: random; all 0 (24-bit); all 255 (opaque 32-bit); all 255 but one in the last
  // sampled row. Uniform top bytes let the kernels skip masking, and one odd byte must undo that.
  enum Top { RandomTop, ZeroTop, OpaqueTop, OneOddTop };
  for (const Size& size : sizes)
  for (Top top : {RandomTop, ZeroTop, OpaqueTop, OneOddTop}) {
    std::vector<PixelWord> pixels = RandomPixels(size.width, size.height, 99u + size.width);
    if (top != RandomTop)
      for (PixelWord& p : pixels) p = (p & 0x00FFFFFFu) | (top == ZeroTop ? 0u : 0xFF000000u);
    if (top == OneOddTop) pixels[((size.height - 1) / 2 * 2) * size.width] &= 0x00FFFFFFu;
    SCOPED_TRACE(top);
    const int first = size.width >> 4, last = size.width >> 2;
    std::vector<std::int64_t> expected(last - first + 1);
    for (int s = first; s <= last; ++s)
      expected[s - first] = ShiftSumReference(pixels.data(), size.width, size.height, s);
    for (SearchKernel kernel : AllKernels) {
      if (!SearchKernelAvailable(kernel)) continue;
      for (int threads : {1, 2, 5}) {
        std::vector<std::int64_t> sums(expected.size(), -1);
        ComputeShiftSums(kernel, threads, pixels.data(), size.width, size.height, first, last,
                         sums.data(), nullptr, nullptr);
        EXPECT_EQ(sums, expected) << SearchKernelName(kernel) << " " << threads << " threads "
                                  << size.width << "x" << size.height;
      }
    }
  }
}

TEST(SearchKernel, SearchChoiceAndHookOrderIndependentOfKernelAndThreads) {
  const Size sizes[] = {{1001, 31}, {1000, 80}, {640, 33}};
  for (const Size& size : sizes) {
    const std::vector<PixelWord> pixels = DotStereogram(size.width, size.height, 97, 5u);
    const RepeatSearch reference =
        SearchRepeatWidth(pixels.data(), size.width, size.height, SearchKernel::Scalar, 1,
                          nullptr, nullptr);
    ASSERT_GE(reference.shift, 0);
    for (SearchKernel kernel : AllKernels) {
      if (!SearchKernelAvailable(kernel)) continue;
      for (int threads : {1, 2, 3, 8}) {
        std::vector<int> seen;
        const RepeatSearch found = SearchRepeatWidth(
            pixels.data(), size.width, size.height, kernel, threads,
            [](int shift, void* context) { static_cast<std::vector<int>*>(context)->push_back(shift); },
            &seen);
        EXPECT_EQ(found.shift, reference.shift) << SearchKernelName(kernel) << " " << threads;
        EXPECT_EQ(found.score, reference.score);
        EXPECT_EQ(found.sums, reference.sums);
        std::vector<int> order;
        for (int s = found.first; s <= found.last; ++s) order.push_back(s);
        EXPECT_EQ(seen, order) << "every candidate announced once, in increasing order";
      }
    }
  }
}

TEST(SearchKernel, ShippedKernelIsAvailableAndNamed) {
  EXPECT_TRUE(SearchKernelAvailable(ShippedSearchKernel()));
  EXPECT_TRUE(SearchKernelAvailable(SearchKernel::Scalar));
  EXPECT_NE(std::string(SearchKernelName(ShippedSearchKernel())), "unknown");
  EXPECT_GE(HardwareThreads(), 1);
}

TEST(DifferenceKernel, EqualsReferenceOnRandomImages) {
  const Size sizes[] = {{1, 1}, {3, 2}, {5, 3}, {17, 4}, {1001, 5}};
  for (const Size& size : sizes) {
    const std::vector<PixelWord> pixels = RandomPixels(size.width, size.height, 7u + size.width);
    for (int repeat : {0, 1, 2, 3, 4, 5, size.width / 4, size.width - 1}) {
      if (repeat < 0 || repeat >= size.width) continue;
      const std::size_t count = static_cast<std::size_t>(size.width - repeat) * size.height;
      std::vector<PixelWord> fast(count, 0xDEADBEEF), slow(count, 0xDEADBEEF);
      DifferencePixels(pixels.data(), size.width, size.height, repeat, fast.data());
      DifferencePixelsReference(pixels.data(), size.width, size.height, repeat, slow.data());
      EXPECT_EQ(fast, slow) << size.width << "x" << size.height << " repeat " << repeat;
    }
  }
}

}  // namespace

namespace {

TEST(StretchKernel, CountAndMapEqualPlainFormulaOnRandomBlocks) {
  std::mt19937 random(77);
  for (int count : {1, 3, 15, 16, 17, 64, 1001}) {
    std::vector<PixelWord> pixels = RandomPixels(count, 1, static_cast<std::uint32_t>(count));
    // Runs of one value as in a mostly black difference image.
    for (int i = 0; i < count / 2; ++i) pixels[i] = 0xFF000000u;
    std::int32_t tables[3][256] = {};
    CountLevels(pixels.data(), count, tables);
    std::int32_t expected[3][256] = {};
    for (PixelWord p : pixels) ++expected[0][p >> 16 & 255], ++expected[1][p >> 8 & 255], ++expected[2][p & 255];
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) ASSERT_EQ(tables[c][v], expected[c][v]) << count;

    int low[3], high[3];
    for (int c = 0; c < 3; ++c) {
      low[c] = static_cast<int>(random() % 255);
      high[c] = low[c] + 1 + static_cast<int>(random() % (255 - low[c]));
    }
    std::vector<PixelWord> mapped = pixels;
    MapLevels(mapped.data(), count, low, high);
    for (int i = 0; i < count; ++i) {
      PixelWord want = 0;
      for (int c = 0; c < 3; ++c) {
        const int v = static_cast<int>(pixels[i] >> (16 - 8 * c) & 255);
        const int m = std::clamp((v - low[c]) * 255 / (high[c] - low[c]), 0, 255);
        want |= static_cast<PixelWord>(m) << (16 - 8 * c);
      }
      ASSERT_EQ(mapped[i], want) << count << " pixel " << i;
    }
  }
}

}  // namespace

namespace {

TEST(StretchKernel, CountsRunsOfEqualColoursLikeSingleWords) {
  // Runs of one colour are counted in steps of eight: runs that start off the step, change colour
  // at a step, differ only in the top byte, or stop short of the end must count like single words.
  struct Run {
    PixelWord word;
    int length;
  };
  const std::vector<std::vector<Run>> layouts = {
      {{0, 64}},
      {{0, 3}, {0x00102030u, 16}, {0, 13}, {0x00102030u, 8}, {0, 1}},
      {{0x00FFFFFFu, 8}, {0x00FFFFFEu, 8}, {0x00FFFFFFu, 8}, {0x00FFFFFFu, 7}},
      {{0xFF000000u, 4}, {0x00000000u, 4}, {0x7F000000u, 24}, {0x00000001u, 5}},
      {{0x00405060u, 9}, {0x00405061u, 1}, {0x00405060u, 30}},
  };
  for (std::size_t n = 0; n < layouts.size(); ++n) {
    std::vector<PixelWord> pixels;
    for (const Run& run : layouts[n]) pixels.insert(pixels.end(), static_cast<std::size_t>(run.length), run.word);
    std::int32_t tables[3][256] = {};
    CountLevels(pixels.data(), static_cast<std::int64_t>(pixels.size()), tables);
    std::int32_t expected[3][256] = {};
    for (PixelWord p : pixels) ++expected[0][p >> 16 & 255], ++expected[1][p >> 8 & 255], ++expected[2][p & 255];
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v) ASSERT_EQ(tables[c][v], expected[c][v]) << "layout " << n;
  }
}

TEST(StretchKernel, SplitOverThreadsEqualsOnePass) {
  // Large enough to be split over the hardware threads; values spread over the middle levels so
  // that the clip counts decide the levels.
  for (int count : {(1 << 18) - 1, 600001}) {
    std::vector<PixelWord> pixels = RandomPixels(count, 1, static_cast<std::uint32_t>(count));
    for (PixelWord& p : pixels) p = (p & 0xFF3F7F7Fu) + 0x00201010u;
    std::vector<PixelWord> expected = pixels;
    std::int32_t tables[3][256] = {};
    CountLevels(expected.data(), count, tables);
    const std::int32_t clip = ClipCount(count, LowClipPercent);
    int low[3], high[3];
    for (int c = 0; c < 3; ++c) {
      low[c] = FindLowLevel(tables[c], clip);
      high[c] = FindHighLevel(tables[c], clip);
    }
    MapLevels(expected.data(), count, low, high);
    ASSERT_TRUE(StretchPixels(pixels.data(), count));
    EXPECT_EQ(pixels, expected) << count;
  }
}

}  // namespace
