// SPDX-License-Identifier: MIT
// The application cycle and the result viewer, driven through the headless backend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "shell/application.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Names the parent's folder to the child of an exit test. Windows has no fork: there the child is
// this program started again, whose set-up would otherwise make a folder of its own.
constexpr const char* ParentDirVariable = "NIMBREL_CYCLE_TEST_DIR";

void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());  // an empty value removes the variable
#else
  if (value.empty()) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
#endif
}

const std::string Request = "request \"Select stereogram image\"";
const std::string EmptyViewer = "window 2 open \"Nimbrel v0.3a\" 0x0 titlebar closebox centred";

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHeadless();
    FreeAllImages();
    const char* parentDir = std::getenv(ParentDirVariable);
    dir = parentDir != nullptr && *parentDir != '\0' ? parentDir : MakeTempDir();
    ViewLimitWidth = 1728;
    ViewLimitHeight = 972;
  }
  void TearDown() override { FreeAllImages(); }

  // Runs the whole program in a child process with the scripted answers; returns its transcript.
  std::vector<std::string> RunProgramWith(const std::vector<std::string>& answers) {
    std::string transcript = dir + "/transcript.txt";
    SetEnvironment(ParentDirVariable, dir);
    EXPECT_EXIT(
        {
          ResetHeadless();
          SetTranscriptFile(transcript);
          for (const auto& answer : answers) QueueFileAnswer(answer);
          RunProgram();
        },
        ::testing::ExitedWithCode(0), "");
    SetEnvironment(ParentDirVariable, "");
    return ReadLines(transcript);
  }

  std::string dir;
};

TEST(ViewLimits, NinetyPercentRoundedHalfToEven) {
  struct Case {
    int display;
    int limit;
  } cases[] = {{1920, 1728}, {1080, 972}, {1366, 1229}, {768, 691},
               {1024, 922},  {1005, 904}, {1015, 914},  {0, 0}};
  for (const Case& c : cases) EXPECT_EQ(ViewLimitFor(c.display), c.limit) << c.display;
}

TEST(NamePart, TakesWhatFollowsTheLastSeparator) {
  EXPECT_EQ(NamePart("C:\\pics\\dots.png"), "dots.png");
  EXPECT_EQ(NamePart("/home/me/pics/dots.png"), "dots.png");
  EXPECT_EQ(NamePart("mixed/dir\\x.gif"), "x.gif");
  EXPECT_EQ(NamePart("plain.bmp"), "plain.bmp");
  EXPECT_EQ(NamePart("/home/me/"), "");
  EXPECT_EQ(NamePart(""), "");
}

TEST(FitRule, WorkedExamplesWithinTheLimitsOfA1920x1080Display) {
  struct Case {
    int width, height;
    bool reduced;
    int shownWidth, shownHeight;
  } cases[] = {
      {1000, 500, false, 1000, 500}, {1728, 972, false, 1728, 972},  {3000, 2000, true, 1458, 972},
      {4000, 1500, true, 1728, 648}, {1729, 100, true, 1728, 99},    {100, 973, true, 99, 972},
      {1800, 1900, true, 920, 972},  {0, 0, false, 0, 0},            {32767, 1, true, 1728, 0},
  };
  for (const Case& c : cases) {
    std::int32_t w = c.width, h = c.height;
    EXPECT_EQ(FitToLimits(w, h, 1728, 972), c.reduced) << c.width << "x" << c.height;
    EXPECT_EQ(w, c.shownWidth) << c.width << "x" << c.height;
    EXPECT_EQ(h, c.shownHeight) << c.width << "x" << c.height;
  }
}

TEST(FitRule, UnknownDesktopShowsTheImageAsItIs) {
  std::int32_t w = 5000, h = 4000;
  EXPECT_FALSE(FitToLimits(w, h, 0, 0));
  EXPECT_EQ(w, 5000);
  EXPECT_EQ(h, 4000);
}

TEST_F(CycleTest, CancellingTheFirstRequestEndsWithExitCodeZeroAndShowsNothing) {
  EXPECT_EQ(RunProgramWith({}), (std::vector<std::string>{Request, "exit 0"}));
}

TEST_F(CycleTest, MissingFileDirectoryAndCancelInARow) {
  std::string missing = dir + "/no such picture.png";
  std::vector<std::string> expected = {
      Request,
      "message \"Nimbrel\" \"The file 'no such picture.png' does not exist.\" error",
      EmptyViewer,
      "view 2 in 2 at 0,0 0x0 no image",
      "wait 16",
      "window 2 close",
      Request,
      "message \"Nimbrel\" \"The file '" + NamePart(dir) +
          "' does not appear to be a valid image.\" error",
      EmptyViewer,
      "view 2 in 2 at 0,0 0x0 no image",
      "wait 16",
      "window 2 close",
      Request,
      "exit 0",
  };
  EXPECT_EQ(RunProgramWith({missing, dir}), expected);
}

TEST_F(CycleTest, UnreadableFileIsNotAValidImage) {
  std::string path = WriteFile(dir + "/notes.txt", "this is not a picture\n");
  QueueFileAnswer(path);
  RunPass();
  auto lines = Transcript();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "message \"Nimbrel\" \"The file 'notes.txt' does not appear to be a valid "
                      "image.\" error");
  EXPECT_FALSE(ImageExists(0));
  EXPECT_FALSE(ImageExists(1));
}

TEST_F(CycleTest, ViewerWaitsForTheCloseEventIgnoringOthersThenFreesTheResult) {
  ASSERT_TRUE(PutImage(1, 3, 2, 24, {1, 2, 3, 4, 5, 6}));
  QueueWaitEvent(EventActivity);
  QueueWaitEvent(EventActivity);
  QueueWaitEvent(EventClose);
  ShowResult();
  std::vector<std::string> expected = {
      "window 2 open \"Nimbrel v0.3a\" 3x2 titlebar closebox centred",
      "view 2 in 2 at 0,0 3x2 image 3x2",
      "wait 1",
      "wait 1",
      "wait 16",
      "window 2 close",
  };
  EXPECT_EQ(Transcript(), expected);
  ASSERT_EQ(ShownPictures().size(), 1u);
  EXPECT_EQ(ShownPictures()[0].words, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(ImageExists(1));
}

TEST_F(CycleTest, OversizedResultIsScaledThenShownBeforeTheNotice) {
  struct Case {
    int width, height, depth, shownWidth, shownHeight;
  } cases[] = {{3000, 2000, 24, 1458, 972}, {4000, 1500, 32, 1728, 648}};
  for (const Case& c : cases) {
    ResetHeadless();
    std::vector<std::uint32_t> grey(static_cast<std::size_t>(c.width) * c.height, 0x00808080u);
    ASSERT_TRUE(PutImage(1, c.width, c.height, c.depth, grey));
    ShowResult();
    std::string size = std::to_string(c.shownWidth) + "x" + std::to_string(c.shownHeight);
    std::vector<std::string> expected = {
        "window 2 open \"Nimbrel v0.3a\" " + size + " titlebar closebox centred",
        "view 2 in 2 at 0,0 " + size + " image " + size,
        "message \"Nimbrel\" \"The size of the image has been reduced to fit the current "
        "desktop.\" information",
        "wait 16",
        "window 2 close",
    };
    EXPECT_EQ(Transcript(), expected);
    auto shown = ShownPictures();
    ASSERT_EQ(shown.size(), 1u);
    // An even grey stays the same grey when averaged, and the picture is opaque.
    EXPECT_EQ(shown[0].words.front() & 0x00FFFFFFu, 0x00808080u);
    EXPECT_EQ(shown[0].words.back() & 0x00FFFFFFu, 0x00808080u);
  }
}

TEST_F(CycleTest, AWindowThatCannotOpenStillFreesTheResult) {
  ASSERT_TRUE(PutImage(1, 10, 10, 24, {}));
  RefuseWindow(2);
  ShowResult();
  EXPECT_FALSE(ImageExists(1));
  for (const auto& line : Transcript()) EXPECT_EQ(line.rfind("wait", 0), std::string::npos);
}

}  // namespace
