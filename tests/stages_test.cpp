// SPDX-License-Identifier: MIT
// The pixel bridge and the three stages: worked examples, edges and failure paths.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "decode/stages.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "support/test_support.h"

namespace {

PixelWord Rgb(int r, int g, int b, int top = 0) {
  return static_cast<PixelWord>(top) << 24 | static_cast<PixelWord>(r) << 16 |
         static_cast<PixelWord>(g) << 8 | static_cast<PixelWord>(b);
}

std::vector<PixelWord> RandomWords(int count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<PixelWord> words(static_cast<std::size_t>(count));
  for (PixelWord& w : words) w = random();
  return words;
}

class StageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHeadless();
    FreeAllImages();
  }
  void TearDown() override { FreeAllImages(); }
};

// ---------------------------------------------------------------------------------------------
// Pixel bridge

TEST_F(StageTest, ReadAndWriteKeepColoursAndHandleTheTopByteByDepth) {
  struct Case {
    int width;
    int depth;
  } cases[] = {{1, 24}, {3, 24}, {5, 24}, {1, 32}, {3, 32}, {5, 32}, {64, 24}};
  for (const Case& c : cases) {
    const int height = 3;
    const std::vector<PixelWord> words = RandomWords(c.width * height, c.width * 7 + c.depth);
    ASSERT_TRUE(PutImage(0, c.width, height, c.depth, words));
    // The block is exactly width x height words with a guard after it: rows carry no padding.
    std::vector<PixelWord> block(words.size() + 1, 0xABCDEF12u);
    ReadPixels(0, block.data());
    for (std::size_t i = 0; i < words.size(); ++i) {
      EXPECT_EQ(block[i] & 0x00FFFFFFu, words[i] & 0x00FFFFFFu) << c.width << " word " << i;
      if (c.depth == 32) {
        EXPECT_EQ(block[i], words[i]) << "32-bit read keeps the top byte";
      }
    }
    EXPECT_EQ(block.back(), 0xABCDEF12u) << "read past the image";

    // Writing a block whose top bytes are set: a 24-bit image drops them, a 32-bit one takes them.
    std::vector<PixelWord> written = RandomWords(c.width * height, 99);
    WritePixels(written.data(), 0);
    const std::vector<PixelWord> stored = GetImage(0);
    for (std::size_t i = 0; i < written.size(); ++i)
      EXPECT_EQ(stored[i], c.depth == 32 ? written[i] : (written[i] & 0x00FFFFFFu));
  }
}

TEST_F(StageTest, FirstWordIsTopLeftAndLastIsBottomRight) {
  std::vector<PixelWord> words(6, Rgb(1, 1, 1));
  words.front() = Rgb(255, 128, 0);  // top-left
  words.back() = Rgb(0, 0, 200);     // bottom-right
  ASSERT_TRUE(PutImage(0, 3, 2, 24, words));
  std::vector<PixelWord> block(6);
  ReadPixels(0, block.data());
  EXPECT_EQ(block.front() & 0x00FFFFFFu, 0x00FF8000u);
  EXPECT_EQ(block.back() & 0x00FFFFFFu, 0x000000C8u);
}

TEST_F(StageTest, MissingImageLeavesBlockAndChangesNothing) {
  std::vector<PixelWord> block(4, 0);
  EXPECT_EQ(ReadPixels(0, block.data()), 0);
  EXPECT_EQ(block, std::vector<PixelWord>(4, 0));
  EXPECT_EQ(WritePixels(block.data(), 5), 0);
  EXPECT_FALSE(ImageExists(5));
}

TEST(PixelBlockBytes, RefusesCountsThatDoNotFitSignedThirtyTwoBits) {
  struct Case {
    int width, height;
    std::int64_t bytes;
  } cases[] = {{100, 50, 20000},  {1, 1, 4},        {0, 5, 0},         {-3, 5, -60},
               {16384, 32767, 2147418112}, {16385, 32767, -1}, {23170, 23170, 2147395600}, {32767, 32767, -1}};
  for (const Case& c : cases)
    EXPECT_EQ(PixelBlockBytes(c.width, c.height), c.bytes) << c.width << "x" << c.height;
}

// ---------------------------------------------------------------------------------------------
// Repeat-width search

struct RecordedPercents {
  int first;
  int last;
  std::vector<int> percents;
};

void RecordPercent(int shift, void* context) {
  auto* record = static_cast<RecordedPercents*>(context);
  record->percents.push_back(CandidatePercent(shift, record->first, record->last));
}

TEST(RepeatSearch, CandidatesAndProgressSequence) {
  struct Case {
    int width;
    int first;
    int last;
    std::vector<int> percents;
  } cases[] = {
      {100, 6, 25, {0, 5, 10, 15, 21, 26, 31, 36, 42, 47, 52, 57, 63, 68, 73, 78, 84, 89, 94, 100}},
      {16, 1, 4, {0, 33, 66, 100}},
      {15, 0, 3, {0, 33, 66, 100}},
      {4, 0, 1, {0, 100}},
      {7, 0, 1, {0, 100}},
      {3, 0, 0, {100}},
      {1, 0, 0, {100}},
  };
  for (const Case& c : cases) {
    const std::vector<PixelWord> pixels = RandomWords(c.width * 3, 5);
    RecordedPercents record{c.width >> 4, c.width >> 2, {}};
    const RepeatSearch found = SearchRepeatWidth(pixels.data(), c.width, 3, ShippedSearchKernel(),
                                                 2, RecordPercent, &record);
    EXPECT_EQ(found.first, c.first) << c.width;
    EXPECT_EQ(found.last, c.last) << c.width;
    EXPECT_EQ(record.percents, c.percents) << c.width;
    // Shift 0 is a candidate below width 16; it always scores 0 and is never retained.
    if (c.first == 0) {
      EXPECT_NE(found.shift, 0) << c.width;
    }
  }
}

// Even rows: blue = x, so every compared pair differs by exactly the shift. Odd rows: noise, which
// must not count.
std::vector<PixelWord> RampImage(int width, int height) {
  std::vector<PixelWord> pixels = RandomWords(width * height, 3);
  for (int y = 0; y < height; y += 2)
    for (int x = 0; x < width; ++x) pixels[y * width + x] = Rgb(7, 7, x, 0xFF);
  return pixels;
}

TEST(RepeatSearch, SumsSampleEveryOtherRowAndScoreDividesByFullHeightTimesWidthLessTwoShifts) {
  struct Case {
    int width;
    int height;
    int sampledRows;
  } cases[] = {{100, 50, 25}, {100, 1, 1}, {100, 2, 1}, {100, 3, 2}, {40, 7, 4}};
  for (const Case& c : cases) {
    const std::vector<PixelWord> pixels = RampImage(c.width, c.height);
    const RepeatSearch found = SearchRepeatWidth(pixels.data(), c.width, c.height,
                                                 ShippedSearchKernel(), 2, nullptr, nullptr);
    for (int s = found.first; s <= found.last; ++s) {
      const std::int64_t sum = static_cast<std::int64_t>(s) * c.sampledRows * (c.width - s);
      EXPECT_EQ(found.sums[s - found.first], sum) << c.width << "x" << c.height << " shift " << s;
      EXPECT_EQ(ShiftScore(sum, c.width, c.height, s),
                static_cast<float>(static_cast<double>(sum) / (c.height * (c.width - 2 * s))));
    }
    // The score grows with the shift here, so the first candidate wins.
    EXPECT_EQ(found.shift, found.first);
  }
  // The worked example: shift 6 of 100 x 50 runs over 25 rows x 94 columns, divided by 50 x 88.
  const std::vector<PixelWord> pixels = RampImage(100, 50);
  const RepeatSearch found =
      SearchRepeatWidth(pixels.data(), 100, 50, SearchKernel::Scalar, 1, nullptr, nullptr);
  EXPECT_EQ(found.sums[0], 6 * 25 * 94);
  EXPECT_EQ(found.score, static_cast<float>(6.0 * 25 * 94 / (50 * 88)));
}

// One row of blue values, the second row black (not sampled): W = 16 gives shifts 1 to 4.
std::vector<PixelWord> BlueRow(const std::vector<int>& blues) {
  std::vector<PixelWord> pixels(blues.size() * 2, 0);
  for (std::size_t x = 0; x < blues.size(); ++x) pixels[x] = Rgb(0, 0, blues[x]);
  return pixels;
}

TEST(RepeatSearch, RetainsFirstSmallestNonZeroScore) {
  struct Case {
    const char* what;
    std::vector<PixelWord> pixels;
    int width;
    int height;
    int shift;  // -1: nothing retained
  } cases[] = {
      // Scores 12.5 at every shift: the first candidate stays.
      {"all equal", BlueRow({40, 30, 60, 20, 50, 60, 10, 40, 40, 40, 0, 30, 30, 30, 0, 50}), 16, 2,
       1},
      // Scores 17.5, 11.25, 18.5, 11.25: of the two equal smallest the smaller shift stays.
      {"tie 2 and 4", BlueRow({30, 0, 60, 0, 60, 10, 50, 30, 30, 20, 60, 20, 30, 60, 60, 20}), 16,
       2, 2},
      {"flat", std::vector<PixelWord>(64 * 4, Rgb(9, 99, 200)), 64, 4, -1},
      {"black", std::vector<PixelWord>(64 * 4, 0), 64, 4, -1},
      // Only the top bytes differ: masked away, so every score is 0.
      {"alpha only", RandomWords(64 * 4, 1), 64, 4, -1},
      {"width 3", RandomWords(3 * 4, 2), 3, 4, -1},
  };
  for (auto& c : cases) {
    if (std::string(c.what) == "alpha only")
      for (PixelWord& p : c.pixels) p &= 0xFF000000u;
    for (SearchKernel kernel : {SearchKernel::Scalar, ShippedSearchKernel()}) {
      const RepeatSearch found =
          SearchRepeatWidth(c.pixels.data(), c.width, c.height, kernel, 2, nullptr, nullptr);
      EXPECT_EQ(found.shift, c.shift) << c.what;
      if (c.shift < 0) {
        EXPECT_EQ(found.score, -1.0f) << c.what;
      }
    }
  }
}

TEST(RepeatSearch, ExactRepeatScoresZeroAndLosesToSmallestNonZero) {
  // Random dots repeating exactly every 20 pixels: shifts 20 and 40 score 0 and are never retained.
  const int width = 200, height = 10, period = 20;
  std::vector<PixelWord> pixels = RandomWords(width * height, 11);
  for (int y = 0; y < height; ++y)
    for (int x = period; x < width; ++x) pixels[y * width + x] = pixels[y * width + x - period];
  const RepeatSearch found =
      SearchRepeatWidth(pixels.data(), width, height, ShippedSearchKernel(), 2, nullptr, nullptr);
  ASSERT_EQ(found.sums[period - found.first], 0);
  ASSERT_EQ(found.sums[2 * period - found.first], 0);
  int expected = -1;
  float best = -1.0f;
  for (int s = found.first; s <= found.last; ++s) {
    const float score = ShiftScore(found.sums[s - found.first], width, height, s);
    if (score != 0.0f && (best < 0.0f || score < best)) best = score, expected = s;
  }
  EXPECT_NE(found.shift, period);
  EXPECT_EQ(found.shift, expected);
  EXPECT_EQ(found.score, best);
}

TEST_F(StageTest, FindRepeatWidthSetsProgressAndRetainsOrKeepsRepeatWidth) {
  struct Case {
    const char* what;
    int width;
    int height;
    std::vector<PixelWord> pixels;  // empty: no SourceImage
    int expectedRepeat;             // -1: keeps the previous value
    int expectedPercent;            // -1: keeps the previous value
  } cases[] = {
      {"ramp 100x50", 100, 50, RampImage(100, 50), 6, 100},
      {"flat", 64, 8, std::vector<PixelWord>(64 * 8, Rgb(1, 2, 3)), -1, 100},
      {"width 3", 3, 5, RandomWords(15, 4), -1, 100},
      {"width 1", 1, 1, RandomWords(1, 4), -1, 100},
      {"missing image", 0, 0, {}, -1, -1},
  };
  for (const Case& c : cases) {
    FreeAllImages();
    if (!c.pixels.empty()) {
      ASSERT_TRUE(PutImage(0, c.width, c.height, 24, c.pixels));
    }
    RepeatWidth = 37;
    ProgressPercent = 42;
    ProgressCaption = "";
    EXPECT_EQ(FindRepeatWidth(0), 0);
    EXPECT_EQ(ProgressCaption, "Analyzing image...") << c.what;
    EXPECT_EQ(RepeatWidth, c.expectedRepeat < 0 ? 37 : c.expectedRepeat) << c.what;
    EXPECT_EQ(ProgressPercent.load(), c.expectedPercent < 0 ? 42 : c.expectedPercent) << c.what;
    EXPECT_FALSE(WindowExists(3)) << c.what << ": the progress window is gone when the stage ends";
    EXPECT_EQ(ImageExists(0), !c.pixels.empty()) << "the search leaves SourceImage alone";
  }
}

// ---------------------------------------------------------------------------------------------
// Difference image

TEST(DifferencePixels, ChannelWiseAbsoluteDifferenceWithTopByteZero) {
  struct Case {
    PixelWord p, q, result;
  } cases[] = {
      {Rgb(200, 10, 30), Rgb(50, 40, 30), Rgb(150, 30, 0)},
      {Rgb(255, 255, 255), Rgb(0, 0, 0), Rgb(255, 255, 255)},
      {Rgb(0, 0, 0), Rgb(255, 255, 255), Rgb(255, 255, 255)},
      {Rgb(12, 34, 56), Rgb(12, 34, 56), 0},
      {Rgb(0, 0, 1, 0xFF), Rgb(0, 1, 0, 0x00), Rgb(0, 1, 1)},
      {Rgb(1, 0, 0, 0x00), Rgb(0, 0, 255, 0xFF), Rgb(1, 0, 255)},
  };
  for (const Case& c : cases) {
    // Each pair sits at several columns so that both the vector body and the tail see it.
    std::vector<PixelWord> source;
    for (int i = 0; i < 9; ++i) source.push_back(c.p);
    for (int i = 0; i < 9; ++i) source.push_back(c.q);
    std::vector<PixelWord> result(9, 0xDEADBEEFu);
    DifferencePixels(source.data(), 18, 1, 9, result.data());
    EXPECT_EQ(result, std::vector<PixelWord>(9, c.result)) << std::hex << c.p << " " << c.q;
  }
}

TEST_F(StageTest, BuildDifferenceImageSizesAndPartners) {
  struct Case {
    int width, height, depth, repeat;
  } cases[] = {{100, 50, 24, 25}, {100, 50, 32, 25}, {37, 1, 24, 9}, {17, 3, 32, 16}};
  for (const Case& c : cases) {
    FreeAllImages();
    const std::vector<PixelWord> words = RandomWords(c.width * c.height, c.width + c.depth);
    ASSERT_TRUE(PutImage(0, c.width, c.height, c.depth, words));
    RepeatWidth = c.repeat;
    EXPECT_EQ(BuildDifferenceImage(0), 0);
    ASSERT_TRUE(ImageExists(1));
    EXPECT_EQ(ImageWidth(1), c.width - c.repeat);
    EXPECT_EQ(ImageHeight(1), c.height);
    EXPECT_EQ(ImageDepth(1), c.depth);
    const std::vector<PixelWord> source = GetImage(0);
    const std::vector<PixelWord> result = GetImage(1);
    const int out = c.width - c.repeat;
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < out; ++x) {
        const PixelWord p = source[y * c.width + x], q = source[y * c.width + x + c.repeat];
        const PixelWord expected =
            Rgb(std::abs(int(p >> 16 & 255) - int(q >> 16 & 255)),
                std::abs(int(p >> 8 & 255) - int(q >> 8 & 255)), std::abs(int(p & 255) - int(q & 255)));
        ASSERT_EQ(result[y * out + x], expected) << c.width << " at " << x << "," << y;
      }
  }
}

TEST_F(StageTest, BuildDifferenceImageEdges) {
  struct Case {
    const char* what;
    int width;
    int repeat;
    bool source;
    bool result;
  } cases[] = {
      {"repeat 0: same size, all black", 20, 0, true, true},
      {"width equals repeat", 20, 20, true, false},
      {"repeat beyond width", 20, 80, true, false},
      {"negative repeat", 20, -3, true, false},
      {"no source", 20, 5, false, false},
  };
  for (const Case& c : cases) {
    FreeAllImages();
    if (c.source) {
      ASSERT_TRUE(PutImage(0, c.width, 4, 32, RandomWords(c.width * 4, 8)));
    }
    RepeatWidth = c.repeat;
    EXPECT_EQ(BuildDifferenceImage(0), 0);
    EXPECT_EQ(ImageExists(1), c.result) << c.what;
    EXPECT_EQ(ImageExists(0), c.source) << c.what << ": the stage leaves SourceImage to the cycle";
    if (c.result && c.repeat == 0) {
      EXPECT_EQ(ImageWidth(1), c.width);
      EXPECT_EQ(GetImage(1), std::vector<PixelWord>(c.width * 4, 0)) << c.what;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Level stretch

TEST(LevelStretch, ClipCountsRoundHalvesToEven) {
  struct Case {
    std::int32_t pixels, count;
  } cases[] = {{1, 0},   {100, 0}, {101, 1},  {299, 1},       {300, 2},         {500, 2},
               {700, 4}, {900, 4}, {1100, 6}, {1000000, 5000}, {1073676289, 5368381}};
  for (const Case& c : cases) EXPECT_EQ(ClipCount(c.pixels, LowClipPercent), c.count) << c.pixels;
}

TEST(LevelStretch, LowAndHighLevelsAtTheClipEdges) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, int>> counts;  // level, pixels
    std::int32_t clip;
    int low, high;
  } cases[] = {
      {"exactly c at 0, one at 1", {{0, 2}, {1, 1}, {200, 5}}, 2, 1, 200},
      {"c + 1 at 0", {{0, 3}, {1, 1}, {200, 5}}, 2, 0, 200},
      {"exactly c at 255, one at 254", {{10, 5}, {254, 1}, {255, 2}}, 2, 10, 254},
      {"c + 1 at 255", {{10, 5}, {254, 1}, {255, 3}}, 2, 10, 255},
      {"clip 0: smallest and largest present", {{17, 1}, {90, 4}, {201, 1}}, 0, 17, 201},
      {"one level only", {{128, 50}}, 2, 128, 128},
      {"too few pixels to pass the clip", {{5, 1}, {6, 1}}, 2, 255, 0},
  };
  for (const Case& c : cases) {
    std::int32_t table[256] = {};
    for (auto [level, pixels] : c.counts) table[level] = pixels;
    EXPECT_EQ(FindLowLevel(table, c.clip), c.low) << c.what;
    EXPECT_EQ(FindHighLevel(table, c.clip), c.high) << c.what;
  }
}

TEST(LevelStretch, MappingIsLinearRoundedDownAndClamped) {
  struct Case {
    int value, mapped;
  } cases[] = {{60, 127}, {9, 0}, {0, 0}, {10, 0}, {11, 2}, {109, 252}, {110, 255}, {200, 255}};
  const int low[3] = {10, 10, 10};
  const int high[3] = {110, 110, 110};
  for (const Case& c : cases) {
    PixelWord p = Rgb(c.value, c.value, c.value, 0xFF);
    MapLevels(&p, 1, low, high);
    EXPECT_EQ(p, Rgb(c.mapped, c.mapped, c.mapped)) << c.value;
  }
}

TEST_F(StageTest, StretchLevelsOnImages) {
  // Red 0..99 once each plus fixed green and blue spreads: 100 pixels, so no clipping at all.
  std::vector<PixelWord> spread;
  for (int i = 0; i < 100; ++i) spread.push_back(Rgb(i + 50, 20 + i % 2 * 10, i < 50 ? 0 : 255, 0xEE));
  std::vector<PixelWord> spreadStretched;
  for (int i = 0; i < 100; ++i)
    spreadStretched.push_back(Rgb(i * 255 / 99, i % 2 * 255, i < 50 ? 0 : 255));
  std::vector<PixelWord> blueFlat = spread;
  for (PixelWord& p : blueFlat) p = (p & 0xFFFFFF00u) | 77u;
  // 1000 pixels (clip 5 at each end): more than 5 pixels at 0 and at 255 in every channel.
  std::vector<PixelWord> full = RandomWords(1000, 21);
  for (int i = 0; i < 12; ++i) full[i] = Rgb(0, 0, 0, 0xFF), full[999 - i] = Rgb(255, 255, 255, 0xFF);
  std::vector<PixelWord> fullIdentity = full;
  for (PixelWord& p : fullIdentity) p &= 0x00FFFFFFu;

  struct Case {
    const char* what;
    int width, height, depth;
    std::vector<PixelWord> pixels;
    int result;
    std::vector<PixelWord> expected;
  } cases[] = {
      {"spread, 32-bit", 10, 10, 32, spread, 1, spreadStretched},
      {"spread, 24-bit", 25, 4, 24, spread, 1, spreadStretched},
      {"one colour", 8, 8, 32, std::vector<PixelWord>(64, Rgb(10, 20, 30, 0xFF)), 0,
       std::vector<PixelWord>(64, Rgb(10, 20, 30, 0xFF))},
      {"blue collapsed", 10, 10, 32, blueFlat, 0, blueFlat},
      {"full range maps to itself, top byte cleared", 40, 25, 32, full, 1, fullIdentity},
  };
  for (const Case& c : cases) {
    FreeAllImages();
    ASSERT_TRUE(PutImage(1, c.width, c.height, c.depth, c.pixels));
    EXPECT_EQ(StretchLevels(1), c.result) << c.what;
    std::vector<PixelWord> expected = c.expected;
    if (c.depth == 24)
      for (PixelWord& p : expected) p &= 0x00FFFFFFu;
    EXPECT_EQ(GetImage(1), expected) << c.what;
  }
  FreeAllImages();
  EXPECT_EQ(StretchLevels(1), 0) << "missing image";
  EXPECT_EQ(StretchLevels(-4), 0) << "missing image";
}

TEST(LevelStretch, EmptyOrNullBlockIsRefused) {
  PixelWord p = Rgb(1, 2, 3, 4);
  EXPECT_FALSE(StretchPixels(&p, 0));
  EXPECT_FALSE(StretchPixels(nullptr, 10));
  EXPECT_EQ(p, Rgb(1, 2, 3, 4));
}

}  // namespace
