// SPDX-License-Identifier: MIT
// The picture fallback against the shared GIF, WebP and other picture corpora, one child process
// per file under 2 s of processor time and a 512 MB address-space limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>


#include "decode/stages.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "shell/picture_fallback.h"
#include "support/limited_load.h"
#include "support/test_support.h"

namespace {

constexpr long MemoryMegabytes = 512;

// LoadPictureFallback(0, path) as the load in a limited child; only a 24-bit image counts.
int LoadThroughFallback(const std::string& path) {
  return LoadPictureFallback(0, path) != 0 && ImageDepth(0) == 24 ? 1 : 0;
}

// One row of the observed per-file results behind EXPECT.md's tables.
struct Observed {
  std::string file;   // relative to corpora/
  bool loads = false;
  int width = 0;
  int height = 0;
};

std::vector<Observed> ReadObserved(const std::string& corpora) {
  std::vector<Observed> rows;
  std::ifstream in(corpora + "/observed/probe_results.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() < 5 || fields[1] != "pixbuf") continue;
    Observed row;
    row.file = fields[0];
    row.loads = fields[2] == "loads";
    if (row.loads && std::sscanf(fields.back().c_str(), "OK %dx%d", &row.width, &row.height) != 2)
      continue;
    rows.push_back(row);
  }
  return rows;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

struct Timing {
  std::string file;
  LimitedLoad result;
};

void ReportSlowest(std::vector<Timing> timings) {
  std::sort(timings.begin(), timings.end(),
            [](const Timing& a, const Timing& b) {
              return a.result.cpuSeconds > b.result.cpuSeconds;
            });
  long maxRss = 0;
  for (const Timing& t : timings) maxRss = std::max(maxRss, t.result.maxRssKb);
  std::printf("%zu files; largest resident size %ld kB; slowest:\n", timings.size(), maxRss);
  for (std::size_t i = 0; i < timings.size() && i < 5; ++i)
    std::printf("  %.3f s  %6ld kB  %s\n", timings[i].result.cpuSeconds, timings[i].result.maxRssKb,
                timings[i].file.c_str());
}

// The observations are gdk-pixbuf's. The OLE picture service (Windows) reads no WebP, sizes a GIF
// by its first frame rather than its logical screen, and judges two damaged GIFs otherwise.
#ifdef _WIN32
constexpr bool OlePictures = true;
#else
constexpr bool OlePictures = false;
#endif

struct OleVerdict {
  const char* file;
  bool loads;
  const char* why;
};
const OleVerdict OleDiffers[] = {
    {"gif/gif-test-suite/invalid-code.gif", false, "a code beyond the table ends the frame"},
    {"gif/gif-test-suite/image-zero-width.gif", true, "a frame 0 pixels wide is read as 1"},
};

// The size of a GIF's first frame, from its image descriptor; false when there is none.
bool FirstFrameSize(const std::string& path, int& width, int& height) {
  std::ifstream in(path, std::ios::binary);
  const std::string gif((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto byte = [&gif](std::size_t at) { return static_cast<unsigned char>(gif[at]); };
  if (gif.size() < 13) return false;
  std::size_t at = 13;
  if (byte(10) & 0x80) at += 3u << ((byte(10) & 7) + 1);
  while (at < gif.size() && byte(at) == 0x21) {  // extensions: label, then sub-blocks
    at += 2;
    while (at < gif.size() && byte(at) != 0) at += byte(at) + 1u;
    ++at;
  }
  if (at + 9 > gif.size() || byte(at) != 0x2C) return false;
  width = byte(at + 5) | byte(at + 6) << 8;
  height = byte(at + 7) | byte(at + 8) << 8;
  return true;
}

// What the OLE service must make of a row: its first frame where gdk-pixbuf loads the GIF (or
// where the table above says so), nothing for a WebP file or where gdk-pixbuf refuses.
void ExpectAsOle(const Observed& row, const std::string& path, const LimitedLoad& result) {
  bool loads = row.loads && StartsWith(row.file, "gif/");
  for (const OleVerdict& differs : OleDiffers) {
    if (row.file == differs.file) loads = differs.loads;
  }
  int width = 0, height = 0;
  if (loads && FirstFrameSize(path, width, height) && width > 0 && height > 0 &&
      width <= ImageMaxSide && height <= ImageMaxSide) {
    EXPECT_EQ(result.width, width) << "first frame";
    EXPECT_EQ(result.height, height) << "first frame";
  } else if (!loads || width > ImageMaxSide || height > ImageMaxSide) {
    EXPECT_EQ(result.width, 0) << "expected no image";
  } else {
    EXPECT_GT(result.width, 0) << "expected an image";
  }
}

TEST(CorpusFallback, GifAndWebpAsObserved) {
  const std::string shared = SharedDir();
  if (shared.empty()) GTEST_SKIP() << "NIMBREL_SHARED is not set; the shared corpora are absent";
  const std::string corpora = shared + "/corpora";
  const std::vector<Observed> rows = ReadObserved(corpora);
  std::vector<Timing> timings;
  int loaded = 0, refused = 0;
  for (const Observed& row : rows) {
    const bool judged = StartsWith(row.file, "gif/") || StartsWith(row.file, "webp/");
    if (!judged && !StartsWith(row.file, "other/")) continue;
    SCOPED_TRACE(row.file);
    const LimitedLoad result =
        LoadInLimitedChild(LoadThroughFallback, corpora + "/" + row.file, 2, MemoryMegabytes);
    timings.push_back({row.file, result});
    ASSERT_EQ(result.outcome, LoadOutcome::Finished)
        << "signal " << result.signal << ", exit code " << result.exitCode << ", after "
        << result.cpuSeconds << " s";
    EXPECT_LT(result.cpuSeconds, 2.0);
    EXPECT_LT(result.maxRssKb, MemoryMegabytes * 1024);
    (result.width > 0 ? loaded : refused)++;
    if (!judged || row.file.ends_with(".disabled")) continue;
    if (OlePictures) {
      ExpectAsOle(row, corpora + "/" + row.file, result);
      continue;
    }
    const bool fits = row.width <= ImageMaxSide && row.height <= ImageMaxSide;
    if (row.loads && fits) {
      EXPECT_EQ(result.width, row.width);
      EXPECT_EQ(result.height, row.height);
    } else {
      EXPECT_EQ(result.width, 0) << "expected no image";
    }
  }
  EXPECT_GT(loaded, OlePictures ? 80 : 200);  // the table was read at all
  EXPECT_GT(refused, 30);
  ReportSlowest(timings);
}

// The GIF stereograms load at their listed size and give their listed repeat width.
TEST(CorpusFallback, GifStereogramsRevealTheirRepeat) {
  const std::string shared = SharedDir();
  if (shared.empty()) GTEST_SKIP() << "NIMBREL_SHARED is not set; the stereograms are absent";
  std::ifstream in(shared + "/stereograms/expected.csv");
  std::string line;
  int seen = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
    if (fields.size() < 6 || !fields[0].ends_with(".gif")) continue;
    SCOPED_TRACE(fields[0]);
    ++seen;
    ResetHeadless();
    FreeAllImages();
    ASSERT_NE(LoadPictureFallback(0, shared + "/stereograms/" + fields[0]), 0);
    EXPECT_EQ(ImageWidth(0), std::stoi(fields[1]));
    EXPECT_EQ(ImageHeight(0), std::stoi(fields[2]));
    FindRepeatWidth(0);
    EXPECT_NEAR(RepeatWidth, std::stoi(fields[3]), std::stoi(fields[5]));
    FreeAllImages();
  }
  EXPECT_GT(seen, 0);
}

}  // namespace
