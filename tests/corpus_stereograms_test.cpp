// SPDX-License-Identifier: MIT
// Real stereograms from the shared set: the pass finds each listed period within its tolerance,
// the command line agrees, and every vector kernel gives the scalar sums on them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "decode/stages.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "shell/acquisition.h"
#include "shell/picture_fallback.h"
#include "support/run_program.h"
#include "support/test_support.h"

namespace {

struct Expected {
  std::string file;
  int width;
  int height;
  int period;
  int tolerance;
};

std::vector<std::string> SplitCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

std::vector<Expected> ReadExpected(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  const std::vector<std::string> header = SplitCsvLine(line);
  std::map<std::string, std::size_t> column;
  for (std::size_t i = 0; i < header.size(); ++i) column[header[i]] = i;
  std::vector<Expected> rows;
  for (const char* name : {"file", "width", "height", "period", "tolerance_px"})
    if (!column.count(name)) return rows;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> f = SplitCsvLine(line);
    if (f.size() < header.size()) continue;
    rows.push_back({f[column["file"]], std::stoi(f[column["width"]]), std::stoi(f[column["height"]]),
                    std::stoi(f[column["period"]]), std::stoi(f[column["tolerance_px"]])});
  }
  return rows;
}

bool IsGif(const std::string& file) {
  return file.size() > 4 && (file.compare(file.size() - 4, 4, ".gif") == 0 ||
                             file.compare(file.size() - 4, 4, ".GIF") == 0);
}

class StereogramCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SharedDir().empty()) GTEST_SKIP() << "NIMBREL_SHARED is not set: no shared stereograms";
    directory = SharedDir() + "/stereograms";
    rows = ReadExpected(directory + "/expected.csv");
    ASSERT_FALSE(rows.empty()) << "no rows in " << directory << "/expected.csv";
    RegisterImageDecoders();
    ResetHeadless();
    FreeAllImages();
  }
  void TearDown() override { FreeAllImages(); }

  // Loads a listed file into image 0 as the pass does; false when neither route reads it.
  bool Load(const Expected& row) {
    const std::string path = directory + "/" + row.file;
    return LoadImageFile(0, path) || LoadPictureFallback(0, path) != 0;
  }

  std::string directory;
  std::vector<Expected> rows;
};

TEST_F(StereogramCorpus, PassFindsListedPeriod) {
  int decoded = 0;
  for (const Expected& row : rows) {
    SCOPED_TRACE(row.file);
    FreeAllImages();
    if (!Load(row)) {
      // GIFs are read only by the picture service; everything else must load.
      EXPECT_TRUE(IsGif(row.file)) << "cannot load";
      continue;
    }
    ++decoded;
    EXPECT_EQ(ImageWidth(0), row.width);
    EXPECT_EQ(ImageHeight(0), row.height);
    RepeatWidth = 0;
    FindRepeatWidth(0);
    EXPECT_LE(std::abs(RepeatWidth - row.period), row.tolerance)
        << "found " << RepeatWidth << ", listed " << row.period;
    BuildDifferenceImage(0);
    FreeImage(0);
    StretchLevels(1);
    ASSERT_TRUE(ImageExists(1));
    EXPECT_EQ(ImageWidth(1), row.width - RepeatWidth);
  }
  EXPECT_GT(decoded, 0);
}

TEST_F(StereogramCorpus, VectorKernelsAndThreadsGiveScalarSums) {
  for (const Expected& row : rows) {
    SCOPED_TRACE(row.file);
    FreeAllImages();
    if (!Load(row)) continue;
    const int width = ImageWidth(0), height = ImageHeight(0);
    std::vector<PixelWord> pixels(static_cast<std::size_t>(width) * height);
    ReadPixels(0, pixels.data());
    const RepeatSearch reference =
        SearchRepeatWidth(pixels.data(), width, height, SearchKernel::Scalar, 2, nullptr, nullptr);
    for (SearchKernel kernel : {SearchKernel::Sse2, SearchKernel::Avx2, SearchKernel::Avx512,
                                 SearchKernel::Avx512Packed}) {
      if (!SearchKernelAvailable(kernel)) continue;
      for (int threads : {1, 2}) {
        const RepeatSearch found =
            SearchRepeatWidth(pixels.data(), width, height, kernel, threads, nullptr, nullptr);
        EXPECT_EQ(found.sums, reference.sums) << SearchKernelName(kernel) << " " << threads;
        EXPECT_EQ(found.shift, reference.shift) << SearchKernelName(kernel) << " " << threads;
      }
    }
  }
}

// One run of the command line over every listed file; its JSON lines carry the periods.
TEST_F(StereogramCorpus, CommandLineReportsListedPeriod) {
  const std::string cli = CliProgram();
  if (cli.empty()) GTEST_SKIP() << "nimbrel-cli is not built in $NIMBREL_BINARY_DIR/cli";
  std::vector<std::string> arguments = {"--json"};
  for (const Expected& row : rows) arguments.push_back(directory + "/" + row.file);
  const std::string output = RunAndCapture(cli, arguments).out;

  std::map<std::string, int> found;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t file = line.find("\"file\":\"");
    const std::size_t width = line.find("\"repeat_width\":");
    if (file == std::string::npos || width == std::string::npos) continue;
    const std::size_t start = file + 8;
    const std::string path = line.substr(start, line.find('"', start) - start);
    found[path.substr(directory.size() + 1)] = std::stoi(line.substr(width + 15));
  }
  for (const Expected& row : rows) {
    if (!found.count(row.file)) {
      EXPECT_TRUE(IsGif(row.file)) << row.file << " not decoded by the command line";
      continue;
    }
    EXPECT_LE(std::abs(found[row.file] - row.period), row.tolerance)
        << row.file << ": found " << found[row.file] << ", listed " << row.period;
  }
}

}  // namespace
