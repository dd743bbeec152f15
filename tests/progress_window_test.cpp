// SPDX-License-Identifier: MIT
// The progress window's thread: hidden for the first second, closed once it reads 100.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "decode/stages.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> OpenedLines = {
    "window 3 open \"Nimbrel\" 270x60 titlebar centred hidden",
    "bar 0 in 3 at 10,30 250x20 range 0..100",
    "text 1 in 3 at 10,10 250x20 centred \"Analyzing image...\"",
};

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHeadless();
    FreeAllImages();
    ProgressCaption = "Analyzing image...";
    ProgressPercent.store(0);
  }
  void TearDown() override { ProgressPercent.store(0); }

  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  static long Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
  }
};

TEST_F(ProgressWindowTest, AShortSearchNeverShowsTheWindow) {
  int thread = StartThread(RunProgressWindow, 0);
  std::this_thread::sleep_for(50ms);
  ProgressPercent.store(100);
  WaitThread(thread);
  auto lines = Transcript();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3), OpenedLines);
  EXPECT_EQ(lines[3], "bar 0 first 0");
  EXPECT_FALSE(Has(lines, "window 3 show"));
  EXPECT_EQ(lines.back(), "window 3 close");
}

TEST_F(ProgressWindowTest, ALongSearchShowsItOnceAfterASecondAndIgnoresCloseRequests) {
  int thread = StartThread(RunProgressWindow, 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(WindowShown(3));
  ProgressPercent.store(40);
  PostWindowEvent(3, EventClose);
  PostWindowEvent(3, EventActivity);
  std::this_thread::sleep_for(1200ms);
  EXPECT_TRUE(WindowShown(3));
  EXPECT_TRUE(WindowExists(3)) << "a close request closed the progress window";
  EXPECT_EQ(ProgressBarRecord(0).last, 40);
  ProgressPercent.store(100);
  WaitThread(thread);
  auto lines = Transcript();
  EXPECT_EQ(Count(lines, "window 3 show"), 1);
  EXPECT_TRUE(Has(lines, "poll 16"));
  EXPECT_EQ(lines.back(), "window 3 close");
  EXPECT_FALSE(WindowExists(3));
}

TEST_F(ProgressWindowTest, AWindowThatCannotOpenEndsTheThreadAtOnceAndTheSearchGoesOn) {
  RefuseWindow(3);
  int thread = StartThread(RunProgressWindow, 0);
  WaitThread(thread);  // would never return if the thread waited for 100
  EXPECT_TRUE(Transcript().empty());

  // A stripe pattern that repeats every 7 pixels except for one changed pixel per period.
  std::vector<std::uint32_t> words(112 * 4);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = (i % 112 % 7) * 0x00203040u;
  words[3] = 0x00FFFFFFu;
  ASSERT_TRUE(PutImage(0, 112, 4, 24, words));
  RepeatWidth = 0;
  FindRepeatWidth(0);
  EXPECT_EQ(RepeatWidth, 7);
  EXPECT_EQ(ProgressPercent.load(), 100);
  EXPECT_TRUE(Transcript().empty());
}

TEST_F(ProgressWindowTest, EverySearchOpensAndClosesAWindowOfItsOwn) {
  std::vector<std::uint32_t> noise(64 * 8);
  std::uint32_t seed = 7;
  for (auto& word : noise) word = (seed = seed * 1103515245u + 12345u) >> 8;
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_TRUE(PutImage(0, 64, 8, 24, noise));
    FindRepeatWidth(0);
    EXPECT_EQ(ProgressPercent.load(), 100);
  }
  auto lines = Transcript();
  EXPECT_EQ(Count(lines, OpenedLines[0]), 2);
  EXPECT_EQ(Count(lines, "window 3 close"), 2);
}

}  // namespace
