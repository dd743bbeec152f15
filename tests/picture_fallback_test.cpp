// SPDX-License-Identifier: MIT
// Tests of the picture fallback and the picture service beneath it: gdk-pixbuf, or OLE on Windows.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/headless/headless.h"
#include "platform/platform.h"
#include "shell/picture_fallback.h"
#include "support/test_support.h"

namespace {

constexpr std::uint32_t Red = 0xFF0000, Green = 0x00FF00, Blue = 0x0000FF, White = 0xFFFFFF;

// The two services read different formats, and size a GIF differently: gdk-pixbuf by its logical
// screen, OLE by its first frame.
#ifdef _WIN32
constexpr bool OlePictures = true;
#else
constexpr bool OlePictures = false;
#endif

std::string Fixture(const std::string& name) { return FixturesDir() + "/fallback/" + name; }

// The colour of the 8x8 block pattern of blocks_640x480.gif at picture pixel (x, y).
std::uint32_t BlockColour(int x, int y) {
  const std::uint32_t i = static_cast<std::uint32_t>(((x / 8) + (y / 8) * 5) % 16);
  return (i * 16) << 16 | (255 - i * 16) << 8 | (i * 37) % 256;
}

// A one-colour GIF: a logical screen of the given size holding a single 1x1 red frame.
std::string TinyGif(int screenWidth, int screenHeight) {
  std::string gif = "GIF89a";
  auto le16 = [&gif](int v) {
    gif += static_cast<char>(v & 0xFF);
    gif += static_cast<char>((v >> 8) & 0xFF);
  };
  le16(screenWidth);
  le16(screenHeight);
  gif += std::string("\x80\x00\x00", 3);           // global table of 2 colours
  gif += std::string("\xFF\x00\x00\x00\x00\x00", 6);  // red, black
  gif += '\x2C';
  le16(0);
  le16(0);
  le16(1);
  le16(1);
  gif += '\x00';
  // Minimum code size 2; codes clear (4), 0, end (5) in 3 bits each.
  gif += std::string("\x02\x02\x44\x01\x00", 5);
  gif += '\x3B';
  return gif;
}

// A binary PPM whose pixel (x, y) is colour(x, y).
std::string MakePpm(int width, int height, const std::function<std::uint32_t(int, int)>& colour) {
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t c = colour(x, y);
      ppm += static_cast<char>((c >> 16) & 0xFF);
      ppm += static_cast<char>((c >> 8) & 0xFF);
      ppm += static_cast<char>(c & 0xFF);
    }
  }
  return ppm;
}

// A GIF whose one frame fills its screen, pixel (x, y) being palette[index(x, y)] (up to four
// colours): the one format both services read. The data is left uncompressed: a clear code before
// every two pixels keeps each LZW code 3 bits wide.
std::string MakeGif(int width, int height, const std::vector<std::uint32_t>& palette,
                    const std::function<int(int, int)>& index) {
  std::string gif = "GIF89a";
  auto le16 = [&gif](int v) {
    gif += static_cast<char>(v & 0xFF);
    gif += static_cast<char>((v >> 8) & 0xFF);
  };
  le16(width);
  le16(height);
  gif += std::string("\x81\x00\x00", 3);  // global table of 4 colours
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t c = i < static_cast<int>(palette.size()) ? palette[i] : 0;
    gif += static_cast<char>(c >> 16), gif += static_cast<char>(c >> 8), gif += static_cast<char>(c);
  }
  gif += '\x2C';
  le16(0);
  le16(0);
  le16(width);
  le16(height);
  gif += '\x00';
  gif += '\x02';  // minimum code size: codes 0-3 colours, 4 clear, 5 end
  std::string data;
  std::uint32_t bits = 0;
  int count = 0;
  auto code = [&](int value) {
    bits |= static_cast<std::uint32_t>(value) << count;
    for (count += 3; count >= 8; count -= 8, bits >>= 8) data += static_cast<char>(bits & 0xFF);
  };
  for (int i = 0; i < width * height; ++i) {
    if (i % 2 == 0) code(4);
    code(index(i % width, i / width));
  }
  code(5);
  if (count > 0) data += static_cast<char>(bits & 0xFF);
  for (std::size_t at = 0; at < data.size(); at += 255) {
    const std::string block = data.substr(at, 255);
    gif += static_cast<char>(block.size());
    gif += block;
  }
  gif += '\x00';
  gif += '\x3B';
  return gif;
}

std::string Svg(const std::string& width, const std::string& height) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + width + "\" height=\"" + height +
         "\"><rect width=\"100%\" height=\"100%\" fill=\"red\"/></svg>";
}

class PictureFallback : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHeadless();
    FreeAllImages();
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { FreeAllImages(); }
  std::string Write(const std::string& name, const std::string& bytes) {
    return WriteFile(dir_ + "/" + name, bytes);
  }
  std::string dir_;
};

// Every picture comes out 24-bit with the top byte clear, transparency over black, upright, and
// an animation as its first frame. OLE reads neither WebP, SVG nor AVIF: it must refuse them.
TEST_F(PictureFallback, LoadsPicturesAsTwentyFourBitOverBlack) {
  const std::uint32_t alphaWebp[] = {
      Red, 0, (200 * 128 + 127) / 255 << 16 | (100 * 128 + 127) / 255 << 8 | (50 * 128 + 127) / 255,
      Blue, (255 * 64 + 127) / 255 << 8, 0x0A141E};
  struct Case {
    const char* file;
    int width, height;
    std::function<std::uint32_t(int, int)> expected;
    int tolerance = 0;  // per channel, for lossy formats
    bool oleReads = true;
  } cases[] = {
      {"transparent.gif", 4, 3,
       [](int x, int y) {
         const std::uint32_t rows[3][4] = {
             {Red, 0, Green, 0}, {0, Blue, 0, White}, {Red, Red, 0, Blue}};
         return rows[y][x];
       }},
      {"animated.gif", 2, 2, [](int, int) { return Green; }},
      {"alpha.webp", 3, 2, [&alphaWebp](int x, int y) { return alphaWebp[y * 3 + x]; }, 0, false},
      {"drawing.svg", 40, 30,
       [](int x, int y) { return x < 20 ? Red : y < 10 ? Blue : 0u; }, 0, false},
      {"blocks_640x480.gif", 640, 480, BlockColour},
      {"halves.avif", 64, 48, [](int, int y) { return y < 24 ? Red : Blue; }, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    FreeImage(0);
    if (OlePictures && !c.oleReads) {
      EXPECT_EQ(LoadPictureFallback(0, Fixture(c.file)), 0);
      EXPECT_FALSE(ImageExists(0));
      continue;
    }
    EXPECT_NE(LoadPictureFallback(0, Fixture(c.file)), 0);
    ASSERT_TRUE(ImageExists(0));
    EXPECT_EQ(ImageDepth(0), 24);
    ASSERT_EQ(ImageWidth(0), c.width);
    ASSERT_EQ(ImageHeight(0), c.height);
    const std::vector<std::uint32_t> words = GetImage(0);
    int wrong = 0;
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        const std::uint32_t got = words[static_cast<std::size_t>(y) * c.width + x];
        const std::uint32_t want = c.expected(x, y);
        bool near = got >> 24 == 0;
        for (int shift : {0, 8, 16}) {
          const int difference = static_cast<int>((got >> shift) & 0xFF) -
                                 static_cast<int>((want >> shift) & 0xFF);
          near = near && difference <= c.tolerance && difference >= -c.tolerance;
        }
        if (!near && ++wrong <= 3)
          ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << got << " expected "
                        << c.expected(x, y);
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

// The density scales the picture; the block centres show where each block landed, so a flipped,
// shifted or mis-scaled drawing shows up.
TEST_F(PictureFallback, DensityScalesThePicture) {
  struct Case {
    int densityX, densityY, width, height;
  } cases[] = {
      {96, 96, 640, 480},   {192, 192, 1280, 960}, {72, 72, 480, 360},
      {96, 192, 640, 960},  {120, 96, 800, 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.densityX << "x" << c.densityY << " dpi");
    SetHeadlessDensity(c.densityX, c.densityY);
    FreeImage(0);
    EXPECT_NE(LoadPictureFallback(0, Fixture("blocks_640x480.gif")), 0);
    ASSERT_EQ(ImageWidth(0), c.width);
    ASSERT_EQ(ImageHeight(0), c.height);
    const std::vector<std::uint32_t> words = GetImage(0);
    int wrong = 0;
    for (int by = 0; by < 60; ++by) {
      for (int bx = 0; bx < 80; ++bx) {
        const int x = (bx * 8 + 4) * c.width / 640, y = (by * 8 + 4) * c.height / 480;
        const std::uint32_t got = words[static_cast<std::size_t>(y) * c.width + x];
        if (got != BlockColour(bx * 8, by * 8) && ++wrong <= 3)
          ADD_FAILURE() << "block " << bx << "," << by << ": " << std::hex << got;
      }
    }
    // The edges are not blended with the void around the picture.
    const int right = c.width - 1, bottom = c.height - 1;
    EXPECT_EQ(words[0], BlockColour(0, 0));
    EXPECT_EQ(words[right], BlockColour(639, 0));
    EXPECT_EQ(words[static_cast<std::size_t>(bottom) * c.width], BlockColour(0, 479));
    EXPECT_EQ(words[static_cast<std::size_t>(bottom) * c.width + right], BlockColour(639, 479));
    EXPECT_EQ(wrong, 0);
  }
}

TEST(HimetricToPixels, TruncatesTowardZeroWithoutOverflow) {
  struct Case {
    std::int32_t himetric;
    int density;
    std::int64_t pixels;
  } cases[] = {
      {16933, 96, 639},  // 639.99
      {12700, 96, 480},
      {16934, 96, 640},
      {26, 96, 0},
      {27, 96, 1},
      {-27, 96, -1},
      {16934, 0, 0},
      {std::numeric_limits<std::int32_t>::max(), 2540, std::numeric_limits<std::int32_t>::max()},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HimetricToPixels(c.himetric, c.density), c.pixels) << c.himetric << " at " << c.density;
}

// The extent the service reports converts back, at 96 dpi, to the picture's own size.
TEST_F(PictureFallback, PixelSizeRoundTripsAtNinetySixDpi) {
  for (int side : {1, 2, 3, 95, 639, 640, 641, 32767}) {
    SCOPED_TRACE(side);
    const std::string gif = MakeGif(side, 2, {Red}, [](int, int) { return 0; });
    const std::string ppm = MakePpm(side, 2, [](int, int) { return Red; });
    for (const std::string& path : {Write("wide.gif", gif), Write("wide.ppm", ppm)}) {
      if (OlePictures && path.ends_with(".ppm")) continue;  // OLE reads no PPM
      SCOPED_TRACE(path);
      FreeImage(0);
      EXPECT_NE(LoadPictureFallback(0, path), 0);
      EXPECT_EQ(ImageWidth(0), side);
      EXPECT_EQ(ImageHeight(0), 2);
    }
  }
}

// Each of these ends without an image, and quickly: sizes are refused before the picture is built.
TEST_F(PictureFallback, RefusesWhatItCannotOrMustNotRead) {
  // OLE sizes a GIF by its frame, so a huge screen round a 1x1 frame is no reason to refuse there.
  struct Case {
    const char* what;
    std::string bytes;
    int density;
    bool gifScreen = false;  // refused for the GIF's screen size, which OLE does not use
  } cases[] = {
      {"empty file", "", 96},
      {"text", "hello, world\n", 96},
      {"PNG signature (the store's own route)", std::string("\x89PNG\r\n\x1A\n", 8) + "junk", 96},
      {"QuickTime header", std::string("\0\0\0\x10idsc", 8) + std::string(64, '\0'), 96},
      {"truncated GIF", TinyGif(20, 10).substr(0, 20), 96},
      {"1x1 picture at 94 dpi gives 0 pixels", TinyGif(1, 1), 94},
      {"no density", TinyGif(20, 10), 0},
      {"negative density", TinyGif(20, 10), -96},
      {"over 32767 at 96 dpi after scaling", TinyGif(20000, 1), 192, true},
      {"frame over 32767 at 96 dpi after scaling",
       MakeGif(20000, 1, {Red}, [](int, int) { return 0; }), 192},
      {"GIF screen wider than 32767", TinyGif(32768, 1), 96, true},
      {"GIF screen far beyond its data", TinyGif(8000, 4000), 96},
      {"PPM wider than 32767", "P6\n32768 1\n255\n" + std::string(3 * 32768, '\x7F'), 96},
      {"SVG wider than 32767", Svg("40000", "10"), 96},
      {"SVG of a billion pixels", Svg("30000", "30000"), 96},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetHeadlessDensity(c.density, c.density);
    const std::string path = Write("picture", c.bytes);
    FreeImage(0);
    const std::int64_t start = ClockMilliseconds();
    if (OlePictures && c.gifScreen) {
      // The 1x1 frame alone, at the density's scale.
      EXPECT_NE(LoadPictureFallback(0, path), 0);
      EXPECT_EQ(ImageWidth(0), c.density / 96);
      EXPECT_LT(ClockMilliseconds() - start, 1000);
      continue;
    }
    EXPECT_EQ(LoadPictureFallback(0, path), 0);
    EXPECT_FALSE(ImageExists(0));
    EXPECT_LT(ClockMilliseconds() - start, 1000);
  }
  // The control for the GIF rows: the same picture on a sane screen loads, black round the frame
  // (gdk-pixbuf), or as its frame alone (OLE).
  SetHeadlessDensity(96, 96);
  FreeImage(0);
  EXPECT_NE(LoadPictureFallback(0, Write("ok.gif", TinyGif(20, 10))), 0);
  const std::vector<std::uint32_t> control = GetImage(0);
  ASSERT_EQ(ImageWidth(0), OlePictures ? 1 : 20);
  ASSERT_EQ(ImageHeight(0), OlePictures ? 1 : 10);
  EXPECT_EQ(control[0], Red);
  if (!OlePictures) {
    EXPECT_EQ(control[1], 0u);
  }
  FreeImage(0);
  EXPECT_EQ(LoadPictureFallback(0, dir_ + "/missing.gif"), 0);
  EXPECT_EQ(LoadPictureFallback(0, dir_), 0);
  EXPECT_FALSE(ImageExists(0));
}

// The Render arguments follow the Windows convention: destination height negative runs upward,
// HIMETRIC y runs upward from the picture's bottom edge. Only the destination rectangle changes.
// The first two cases are how the fallback draws; OLE under wine draws the upside-down and the
// mirrored case and the shrinking differently, so those are held to gdk-pixbuf's service only.
TEST(RenderPicture, HonoursTheWindowsStyleArguments) {
  // 2x2 picture: top row red, green; bottom row blue, white.
  const std::string gif = MakeGif(2, 2, {Red, Green, Blue, White}, [](int x, int y) { return y * 2 + x; });
  Picture* picture = LoadPicture(reinterpret_cast<const unsigned char*>(gif.data()), gif.size());
  ASSERT_NE(picture, nullptr);
  std::int32_t hmW = 0, hmH = 0;
  GetPictureExtent(picture, hmW, hmH);
  EXPECT_EQ(hmW, 53);  // 2 * 2540 / 96 = 52.9, rounded up
  EXPECT_EQ(hmH, 53);
  // OLE passes the whole 24-bit target through a bitmap of its own, clearing the unused top byte.
  constexpr std::uint32_t Untouched = OlePictures ? 0x00123456 : 0xAA123456;
  struct Case {
    const char* what;
    int x, y, cx, cy;
    std::int32_t xSrc, ySrc, cxSrc, cySrc;
    std::vector<std::uint32_t> expected;  // 4 x 2 target
    bool ole = true;                       // also held to the OLE service
  } cases[] = {
      {"upward destination", 0, 2, 2, -2, 0, 0, hmW, hmH,
       {Red, Green, Untouched, Untouched, Blue, White, Untouched, Untouched}},
      {"downward source", 2, 0, 2, 2, 0, hmH, hmW, -hmH,
       {Untouched, Untouched, Red, Green, Untouched, Untouched, Blue, White}},
      {"both downward: upside down", 0, 0, 2, 2, 0, 0, hmW, hmH,
       {Blue, White, Untouched, Untouched, Red, Green, Untouched, Untouched}, false},
      {"leftward destination: mirrored", 2, 2, -2, -2, 0, 0, hmW, hmH,
       {Green, Red, Untouched, Untouched, White, Blue, Untouched, Untouched}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (OlePictures && !c.ole) continue;
    std::vector<std::uint32_t> words(8, Untouched);
    ImageWords target{words.data(), 4, 2, 24};
    EXPECT_TRUE(RenderPicture(picture, target, c.x, c.y, c.cx, c.cy, c.xSrc, c.ySrc, c.cxSrc,
                              c.cySrc));
    EXPECT_EQ(words, c.expected);
  }
  // Shrunk to one pixel, the picture is averaged, not sampled (OLE under wine samples).
  std::uint32_t one = Untouched;
  ASSERT_TRUE(RenderPicture(picture, ImageWords{&one, 1, 1, 24}, 0, 1, 1, -1, 0, 0, hmW, hmH));
  if (!OlePictures) {
    for (int shift : {0, 8, 16}) {
      EXPECT_GE((one >> shift) & 0xFF, 127u) << std::hex << one;
      EXPECT_LE((one >> shift) & 0xFF, 128u) << std::hex << one;
    }
  }
  EXPECT_EQ(one >> 24, 0u);

  std::vector<std::uint32_t> words(8, Untouched);
  ImageWords target{words.data(), 4, 2, 24};
  EXPECT_FALSE(RenderPicture(picture, target, 0, 2, 0, -2, 0, 0, hmW, hmH));
  EXPECT_FALSE(RenderPicture(picture, target, 0, 2, 2, -2, 0, 0, hmW, 0));
  EXPECT_EQ(words, std::vector<std::uint32_t>(8, Untouched));
  ReleasePicture(picture);
}

}  // namespace
