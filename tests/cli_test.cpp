// SPDX-License-Identifier: MIT
// nimbrel-cli as a user runs it: exit statuses, messages, JSON lines, score curves and PNG output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "decode/kernels.h"
#include "platform/platform.h"
#include "shell/acquisition.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A 24-bit bottom-up BMP of the words' colours (rows padded to 4 bytes).
void WriteBmp(const std::string& path, int width, int height, const std::vector<PixelWord>& words) {
  const int stride = (width * 3 + 3) / 4 * 4;
  const std::uint32_t size = 54 + static_cast<std::uint32_t>(stride) * height;
  std::string bytes(size, '\0');
  auto put32 = [&](int at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  };
  bytes[0] = 'B', bytes[1] = 'M';
  put32(2, size), put32(10, 54), put32(14, 40), put32(18, width), put32(22, height);
  bytes[26] = 1, bytes[28] = 24;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const PixelWord p = words[static_cast<std::size_t>(height - 1 - y) * width + x];
      const int at = 54 + y * stride + x * 3;
      bytes[at] = static_cast<char>(p), bytes[at + 1] = static_cast<char>(p >> 8),
      bytes[at + 2] = static_cast<char>(p >> 16);
    }
  WriteFile(path, bytes);
}

// Random dots repeating every `period` pixels, a band in the middle repeating one pixel sooner.
std::vector<PixelWord> DotStereogram(int width, int height, int period) {
  std::mt19937 random(3);
  std::vector<PixelWord> words(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int separation = (y > height / 3 && y < 2 * height / 3 && x > width / 2) ? period - 1 : period;
      words[y * width + x] = x < separation ? (random() & 0x00FFFFFFu) : words[y * width + x - separation];
    }
  return words;
}

// The path of `name` inside `directory` as the program joins them, in its JSON form.
std::string JsonPath(const std::string& directory, const std::string& name) {
  std::string json;
  for (const char c : (std::filesystem::path(directory) / name).string()) {
    if (c == '\\' || c == '"') json += '\\';
    json += c;
  }
  return json;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cli = CliProgram();
    if (cli.empty()) GTEST_SKIP() << "nimbrel-cli is not built in $NIMBREL_BINARY_DIR/cli";
    dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    stereogram = dir + "/dots.bmp";
    WriteBmp(stereogram, Width, Height, DotStereogram(Width, Height, Period));
    RegisterImageDecoders();
  }
  void TearDown() override { FreeAllImages(); }

  ProgramRun Run(const std::vector<std::string>& arguments) { return RunAndCapture(cli, arguments); }

  // The expected result: difference at `repeat`, stretched or not.
  std::vector<PixelWord> Expected(int repeat, bool stretch) {
    const std::vector<PixelWord> source = DotStereogram(Width, Height, Period);
    std::vector<PixelWord> result(static_cast<std::size_t>(Width - repeat) * Height);
    DifferencePixels(source.data(), Width, Height, repeat, result.data());
    if (stretch) StretchPixels(result.data(), static_cast<std::int32_t>(result.size()));
    return result;
  }

  static constexpr int Width = 160, Height = 40, Period = 20;
  std::string cli, dir, stereogram;
};

TEST_F(CliTest, BadUsageExitsTwo) {
  const std::vector<std::string> cases[] = {{},
                                             {"-o"},
                                             {"--scores"},
                                             {"-o", "x.png", "a.bmp", "b.bmp"},
                                             {"-o", "x.png", "-d", "outdir", "a.bmp"},
                                             {"--repeat-width", "x", "a.bmp"},
                                             {"--repeat-width", "-1", "a.bmp"},
                                             {"--repeat-width", "40000", "a.bmp"},
                                             {"--bogus", "a.bmp"}};
  for (const std::vector<std::string>& arguments : cases) {
    const std::string shown = ::testing::PrintToString(arguments);
    const ProgramRun r = Run(arguments);
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_NE(r.err.find("nimbrel-cli --help"), std::string::npos) << shown;
    EXPECT_EQ(r.out, "") << shown;
  }
  EXPECT_EQ(Run({"--help"}).status, 0);
  const ProgramRun version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("nimbrel-cli ", 0), 0u) << version.out;
}

TEST_F(CliTest, SearchWritesPngJsonAndScoreCurve) {
  const std::string png = dir + "/result.png", csv = dir + "/scores.csv";
  const ProgramRun r = Run({"--json", "-o", png, "--scores", csv, stereogram});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // One JSON object; the score is the winning candidate's, as the score curve lists it.
  const std::string prefix = "{\"file\":\"" + stereogram + "\",\"width\":160,\"height\":40,"
                             "\"depth\":24,\"repeat_width\":20,\"score\":";
  ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out;
  const std::string score = r.out.substr(prefix.size(), r.out.find(',', prefix.size()) - prefix.size());
  EXPECT_EQ(r.out.substr(prefix.size() + score.size()), ",\"output\":\"" + png + "\"}\n");

  std::istringstream lines(ReadText(csv));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "file,shift,sum,score");
  int rows = 0;
  while (std::getline(lines, line)) {
    ++rows;
    if (line.rfind(stereogram + ",20,", 0) == 0) {
      EXPECT_EQ(line.substr(line.rfind(',') + 1), score);
    }
  }
  EXPECT_EQ(rows, (Width >> 2) - (Width >> 4) + 1);

  // 8-bit RGB without alpha, and the stretched difference exactly.
  const std::string bytes = ReadText(png);
  ASSERT_GT(bytes.size(), 26u);
  EXPECT_EQ(bytes[24], 8) << "bit depth";
  EXPECT_EQ(bytes[25], 2) << "colour type RGB";
  ASSERT_TRUE(LoadImageFile(1, png));
  EXPECT_EQ(ImageWidth(1), Width - Period);
  EXPECT_EQ(GetImage(1), Expected(Period, true));
}

TEST_F(CliTest, GivenRepeatWidthAndNoStretch) {
  const std::string png = dir + "/raw.png";
  const ProgramRun r =
      Run({"--json", "--repeat-width", "7", "--no-stretch", "-o", png, stereogram});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"repeat_width\":7,\"score\":null,"), std::string::npos) << r.out;
  ASSERT_TRUE(LoadImageFile(1, png));
  EXPECT_EQ(GetImage(1), Expected(7, false));

  const ProgramRun wide = Run({"--repeat-width", "160", "-o", png, stereogram});
  EXPECT_EQ(wide.status, 1);
  EXPECT_NE(wide.err.find("repeat width 160"), std::string::npos) << wide.err;
}

TEST_F(CliTest, UnreadableFilesAreReportedAfterTheOthers) {
  WriteFile(dir + "/notes.txt", "not a picture");
  const std::string out = dir + "/out";
  const ProgramRun r =
      Run({"--json", "-d", out, dir + "/missing.png", dir + "/notes.txt", stereogram});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "The file 'missing.png' does not exist.\n"
            "The file 'notes.txt' does not appear to be a valid image.\n");
  EXPECT_NE(r.out.find("\"output\":\"" + JsonPath(out, "dots.png") + "\"}"), std::string::npos)
      << r.out;
  EXPECT_TRUE(LoadImageFile(1, out + "/dots.png"));
}

TEST_F(CliTest, FlatImageUsesZeroAndSaysSo) {
  const std::string flat = dir + "/flat.bmp", png = dir + "/flat.png";
  WriteBmp(flat, 64, 8, std::vector<PixelWord>(64 * 8, 0x00336699u));
  const ProgramRun r = Run({"--json", "-o", png, flat});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "nimbrel-cli: flat.bmp: no repeat width found; using 0\n");
  EXPECT_NE(r.out.find("\"repeat_width\":0,\"score\":null,"), std::string::npos) << r.out;
  ASSERT_TRUE(LoadImageFile(1, png));
  EXPECT_EQ(GetImage(1), std::vector<PixelWord>(64 * 8, 0));
}

TEST_F(CliTest, SameOutputNameTwiceIsRefused) {
  const std::string sub = dir + "/sub";
  std::filesystem::create_directories(sub);
  std::filesystem::copy_file(stereogram, sub + "/dots.bmp");
  const ProgramRun r = Run({"-d", dir + "/out", stereogram, sub + "/dots.bmp"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already written"), std::string::npos) << r.err;
}

}  // namespace
