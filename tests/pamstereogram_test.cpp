// SPDX-License-Identifier: MIT
// Stereograms made by netpbm's pamstereogram from a depth map of our own: the whole pass must find
// the far plane's separation exactly and reveal the depth map's shape.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "decode/stages.h"
#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "shell/acquisition.h"
#include "support/test_support.h"

namespace {

bool RunShell(const std::string& command) { return std::system(command.c_str()) == 0; }

struct DepthMap {
  int width = 0;
  int height = 0;
  std::vector<bool> inside;  // depth above 0: the hidden shape
};

// Reads the 8-bit binary PGM the fixture script writes (header without comments).
DepthMap ReadDepthMap(const std::string& path) {
  DepthMap map;
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxval = 0;
  in >> magic >> map.width >> map.height >> maxval;
  in.get();
  if (magic != "P5" || maxval != 255 || map.width <= 0 || map.height <= 0) return DepthMap{};
  std::vector<char> bytes(static_cast<std::size_t>(map.width) * map.height);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!in) return DepthMap{};
  for (const char b : bytes) map.inside.push_back(b != 0);
  return map;
}

// Intersection over union of the non-black result pixels and the shape, with result column x set
// against depth column x + dx; the best over every dx in -range..range.
double BestIntersectionOverUnion(const std::vector<std::uint32_t>& result, int resultWidth,
                                 const DepthMap& depth, int range) {
  long long resultArea = 0, shapeArea = 0;
  for (std::uint32_t word : result) resultArea += (word & 0x00FFFFFFu) != 0;
  for (bool in : depth.inside) shapeArea += in;
  double best = 0.0;
  for (int dx = -range; dx <= range; ++dx) {
    long long both = 0;
    for (int y = 0; y < depth.height; ++y)
      for (int x = 0; x < resultWidth; ++x) {
        const int dxAt = x + dx;
        if (dxAt < 0 || dxAt >= depth.width) continue;
        both += (result[static_cast<std::size_t>(y) * resultWidth + x] & 0x00FFFFFFu) != 0 &&
                depth.inside[static_cast<std::size_t>(y) * depth.width + dxAt];
      }
    const double iou = static_cast<double>(both) / static_cast<double>(resultArea + shapeArea - both);
    if (iou > best) best = iou;
  }
  return best;
}

TEST(PamStereogram, FindsFarPlaneSeparationAndRevealsShape) {
  if (!RunShell("command -v pamstereogram pamtopnm pnmtopng >/dev/null 2>&1"))
    GTEST_SKIP() << "netpbm (pamstereogram, pamtopnm, pnmtopng) is not installed";
  if (FixturesDir().empty()) GTEST_SKIP() << "NIMBREL_FIXTURES is not set";
  const std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string depthPath = dir + "/depth.pgm";
  ASSERT_TRUE(RunShell("/usr/bin/python3 " + FixturesDir() + "/stereogram/make_depth_map.py " +
                  depthPath + " 600 300"));
  const DepthMap depth = ReadDepthMap(depthPath);
  ASSERT_EQ(depth.width, 600);

  struct Case {
    const char* what;
    const char* mode;
    int near;
    int far;
    int seed;
    bool shape;  // black-and-white dots match by chance half the time, so no outline check
  } cases[] = {
      {"colour 80/100", "-color", 80, 100, 1, true},
      {"colour 45/57", "-color", 45, 57, 4, true},
      {"grey 70/90", "-grayscale", 70, 90, 3, true},
      {"black and white 60/120", "-blackandwhite", 60, 120, 2, false},
  };
  RegisterImageDecoders();
  ResetHeadless();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string png = dir + "/stereogram.png";
    ASSERT_TRUE(RunShell("pamstereogram -quiet " + std::string(c.mode) + " -planes=" +
                    std::to_string(c.near) + "," + std::to_string(c.far) +
                    " -randomseed=" + std::to_string(c.seed) + " " + depthPath +
                    " | pamtopnm -quiet | pnmtopng -quiet > " + png));
    FreeAllImages();
    ASSERT_TRUE(LoadImageFile(0, png));
    RepeatWidth = 0;
    FindRepeatWidth(0);
    EXPECT_EQ(RepeatWidth, c.far);
    BuildDifferenceImage(0);
    FreeImage(0);
    StretchLevels(1);
    ASSERT_TRUE(ImageExists(1));
    ASSERT_EQ(ImageWidth(1), depth.width - RepeatWidth);
    if (c.shape) {
      const double iou = BestIntersectionOverUnion(GetImage(1), ImageWidth(1), depth, c.far);
      RecordProperty(std::string("iou ") + c.what, std::to_string(iou));
      EXPECT_GE(iou, 0.8);
    }
  }
  FreeAllImages();
  std::remove(depthPath.c_str());
  std::remove((dir + "/stereogram.png").c_str());
  std::remove(dir.c_str());
}

}  // namespace
