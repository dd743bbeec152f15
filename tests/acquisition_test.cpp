// SPDX-License-Identifier: MIT
// The store's file load: every format's size, depth and exact pixels from the project's own small
// files, hostile bytes refused without a trace, and the order and rules of the decoder registry.
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/acquisition.h"
#include "support/test_support.h"

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string FixturePath(const std::string& name) { return FixturesDir() + "/acquisition/" + name; }

std::string Fixture(const std::string& name) {
  std::string bytes = ReadBytes(FixturePath(name));
  EXPECT_FALSE(bytes.empty()) << "missing fixture " << name;
  return bytes;
}

std::vector<std::uint32_t> ExpectedWords(const std::string& name) {
  std::string raw = Fixture(name + ".words");
  std::vector<std::uint32_t> words(raw.size() / 4);
  std::memcpy(words.data(), raw.data(), words.size() * 4);
  return words;
}

bool LoadBytes(const std::string& bytes) {
  return LoadImageMemory(0, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

void Put16(std::string& bytes, std::size_t at, unsigned value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}
void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
void Put16BigEndian(std::string& bytes, std::size_t at, unsigned value) {
  bytes[at] = static_cast<char>((value >> 8) & 0xFF);
  bytes[at + 1] = static_cast<char>(value & 0xFF);
}
void Put32BigEndian(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
}

// Rewrites an inline SHORT tag of a little-endian classic TIFF's first directory.
void SetTiffShort(std::string& bytes, unsigned tag, unsigned value) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::size_t ifd = at(4) | (at(5) << 8) | (at(6) << 16) | (static_cast<std::size_t>(at(7)) << 24);
  unsigned count = at(ifd) | (at(ifd + 1) << 8);
  for (unsigned i = 0; i < count; ++i) {
    std::size_t entry = ifd + 2 + 12 * i;
    if (static_cast<unsigned>(at(entry) | (at(entry + 1) << 8)) == tag) Put16(bytes, entry + 8, value);
  }
}

// A PNG chunk with its CRC, for hand-made headers.
std::string PngChunk(const std::string& kind, const std::string& body);

class Acquisition : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FixturesDir().empty()) GTEST_SKIP() << "NIMBREL_FIXTURES is not set";
    RegisterImageDecoders();
    // Every load must leave no trace of an earlier image 0, whatever its outcome.
    ASSERT_TRUE(CreateImage(0, 2, 2, 24));
  }
  void TearDown() override { FreeImage(0); }
};

// ---------------------------------------------------------------------------------------------
// Every row of the format table, from files the project made with its own script.

struct LoadCase {
  const char* file;
  int width;
  int height;
  int depth;
  int tolerance;  // per channel; lossy colour JPEG only
};

const LoadCase LoadCases[] = {
    // BMP: 1/4/8/16/24/32 bits, bottom-up and top-down, bit fields, OS/2, run-length.
    {"bmp_1bit.bmp", 5, 3, 24, 0},
    {"bmp_4bit.bmp", 5, 3, 24, 0},
    {"bmp_8bit.bmp", 6, 4, 24, 0},
    {"bmp_8bit_topdown.bmp", 6, 4, 24, 0},
    {"bmp_16bit_555.bmp", 3, 2, 24, 0},
    {"bmp_16bit_565.bmp", 3, 2, 24, 0},
    {"bmp_24bit.bmp", 5, 3, 24, 0},
    {"bmp_32bit_no_alpha.bmp", 3, 2, 32, 0},  // all fourth bytes 0: opaque
    {"bmp_32bit_alpha.bmp", 3, 2, 32, 0},     // any nonzero: kept as they are
    {"bmp_32bit_v5_fields.bmp", 3, 2, 32, 0},
    {"bmp_os2.bmp", 4, 2, 24, 0},
    {"bmp_rle8.bmp", 8, 4, 24, 0},  // a move and an early end leave black
    {"bmp_rle4.bmp", 6, 2, 24, 0},  // runs past the row's end are clipped
    // Icons become ordinary pictures.
    {"ico_24bit.ico", 3, 2, 24, 0},
    {"ico_32bit_mask.ico", 3, 2, 32, 0},
    {"ico_32bit_alpha.ico", 3, 2, 32, 0},
    {"ico_choice.ico", 2, 2, 24, 0},
    {"ico_png.ico", 3, 2, 32, 0},
    // JPEG 2000 codestreams.
    {"j2k_rgb.j2k", 5, 4, 24, 0},
    {"j2k_rgba.j2k", 5, 4, 32, 0},
    {"j2k_rgb12.j2k", 5, 4, 24, 0},  // 12-bit samples shifted right by 8
    // JPEG.
    {"jpeg_grey.jpg", 16, 8, 24, 0},  // red = green = blue
    {"jpeg_rgb.jpg", 16, 8, 24, 2},
    {"jpeg_cmyk.jpg", 16, 8, 24, 0},
    // PNG.
    {"png_grey1.png", 5, 3, 24, 0},
    {"png_grey4.png", 5, 3, 24, 0},
    {"png_grey8.png", 5, 3, 24, 0},
    {"png_grey16.png", 5, 3, 24, 0},  // high byte
    {"png_rgb8.png", 5, 3, 24, 0},
    {"png_rgb16.png", 5, 3, 24, 0},
    {"png_palette4.png", 5, 3, 24, 0},
    {"png_palette_trns.png", 5, 3, 32, 0},
    {"png_grey_trns.png", 5, 3, 32, 0},
    {"png_rgb_trns.png", 5, 3, 32, 0},
    {"png_grey_alpha8.png", 5, 3, 32, 0},
    {"png_rgba8.png", 5, 3, 32, 0},
    {"png_rgba16.png", 5, 3, 32, 0},
    {"png_rgb8_interlaced.png", 9, 9, 24, 0},
    // TGA: both origins, 16/24/32 bits, run-length packets across rows, skipped fields.
    {"tga_24bit_bottom.tga", 4, 3, 24, 0},
    {"tga_24bit_top.tga", 4, 3, 24, 0},
    {"tga_32bit_top.tga", 4, 3, 32, 0},
    {"tga_16bit_bottom.tga", 4, 3, 24, 0},
    {"tga_24bit_id_cmap.tga", 4, 3, 24, 0},
    {"tga_rle24_bottom.tga", 4, 3, 24, 0},
    {"tga_rle32_top.tga", 4, 3, 32, 0},
    // TIFF: always 32 bits, as libtiff's RGBA reader delivers.
    {"tiff_rgb.tif", 4, 3, 32, 0},
    {"tiff_rgb_lzw.tif", 4, 3, 32, 0},
    {"tiff_rgb_deflate8.tif", 4, 3, 32, 0},
    {"tiff_rgb_packbits.tif", 4, 3, 32, 0},
    {"tiff_grey.tif", 4, 3, 32, 0},
    {"tiff_rgba.tif", 4, 3, 32, 0},
};

int ChannelDistance(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    int d = std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF));
    worst = std::max(worst, d);
  }
  return worst;
}

void ExpectPicture(const std::string& label, int width, int height, int depth,
                   const std::vector<std::uint32_t>& want, int tolerance) {
  ASSERT_TRUE(ImageExists(0)) << label;
  EXPECT_EQ(ImageWidth(0), width) << label;
  EXPECT_EQ(ImageHeight(0), height) << label;
  EXPECT_EQ(ImageDepth(0), depth) << label;
  std::vector<std::uint32_t> got = GetImage(0);
  ASSERT_EQ(got.size(), want.size()) << label;
  int wrong = 0;
  for (std::size_t i = 0; i < got.size() && wrong < 4; ++i) {
    if (ChannelDistance(got[i], want[i]) > tolerance) {
      ADD_FAILURE() << label << " pixel (" << i % width << ", " << i / width << "): got 0x" << std::hex
                    << got[i] << ", want 0x" << want[i];
      ++wrong;
    }
  }
}

TEST_F(Acquisition, FormatTableFixturesLoadExactly) {
  for (const LoadCase& c : LoadCases) {
    EXPECT_TRUE(LoadImageFile(0, FixturePath(c.file))) << c.file;
    ExpectPicture(c.file, c.width, c.height, c.depth, ExpectedWords(c.file), c.tolerance);
  }
}

TEST_F(Acquisition, GreyJpegHasEqualChannels) {
  ASSERT_TRUE(LoadImageFile(0, FixturePath("jpeg_grey.jpg")));
  for (std::uint32_t w : GetImage(0)) {
    EXPECT_EQ((w >> 16) & 0xFF, (w >> 8) & 0xFF);
    EXPECT_EQ((w >> 8) & 0xFF, w & 0xFF);
    EXPECT_EQ(w >> 24, 0u);
  }
}

// CMYK and YCCK made with libjpeg itself (Pillow cannot write YCCK). libjpeg stores the samples as
// given and delivers them back the same way; the loader makes red = C*K/255 and so on.
std::string CompressFourChannels(bool ycck, const unsigned char inks[2][4]) {
  jpeg_compress_struct c{};
  jpeg_error_mgr errors{};
  c.err = jpeg_std_error(&errors);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = 16;
  c.image_height = 8;
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, ycck ? JCS_YCCK : JCS_CMYK);
  jpeg_set_quality(&c, 100, TRUE);
  for (int i = 0; i < c.num_components; ++i) {
    c.comp_info[i].h_samp_factor = 1;
    c.comp_info[i].v_samp_factor = 1;
  }
  jpeg_start_compress(&c, TRUE);
  unsigned char row[16 * 4];
  for (int x = 0; x < 16; ++x) std::memcpy(row + 4 * x, inks[x / 8], 4);
  while (c.next_scanline < c.image_height) {
    JSAMPROW rows[1] = {row};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string bytes(reinterpret_cast<char*>(out), size);
  std::free(out);
  return bytes;
}

TEST_F(Acquisition, CmykAndYcckJpegMultiplyByBlack) {
  const unsigned char inks[2][4] = {{30, 200, 90, 40}, {250, 5, 128, 255}};
  struct {
    bool ycck;
    int tolerance;  // YCCK passes through YCbCr and back
  } cases[] = {{false, 0}, {true, 2}};
  for (auto c : cases) {
    std::string bytes = CompressFourChannels(c.ycck, inks);
    ASSERT_TRUE(LoadBytes(bytes)) << (c.ycck ? "YCCK" : "CMYK");
    std::vector<std::uint32_t> want;
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) {
        const unsigned char* k = inks[x / 8];
        want.push_back(static_cast<std::uint32_t>((k[0] * k[3] / 255) << 16 | (k[1] * k[3] / 255) << 8 |
                                                  (k[2] * k[3] / 255)));
      }
    }
    ExpectPicture(c.ycck ? "YCCK" : "CMYK", 16, 8, 24, want, c.tolerance);
  }
}

// Variants of the fixtures with one header field changed, and what each must load as.
std::vector<std::uint32_t> FlipRows(const std::vector<std::uint32_t>& words, int width) {
  std::vector<std::uint32_t> flipped;
  for (std::size_t row = words.size() / width; row-- > 0;)
    flipped.insert(flipped.end(), words.begin() + row * width, words.begin() + (row + 1) * width);
  return flipped;
}

TEST_F(Acquisition, HeaderVariantsLoadAsTheyShould) {
  {
    // Top-down 32 bits without alpha: opaque like the bottom-up file, over every row.
    std::string b = Fixture("bmp_32bit_no_alpha.bmp");
    Put32(b, 22, static_cast<std::uint32_t>(-2));
    ASSERT_TRUE(LoadBytes(b));
    ExpectPicture("top-down 32-bit BMP", 3, 2, 32, FlipRows(ExpectedWords("bmp_32bit_no_alpha.bmp"), 3), 0);
  }
  {
    // A bits offset that points into the colour table is never right: the bits follow the table.
    std::string b = Fixture("bmp_8bit.bmp");
    Put32(b, 10, 54);
    ASSERT_TRUE(LoadBytes(b));
    ExpectPicture("BMP offset inside the table", 6, 4, 24, ExpectedWords("bmp_8bit.bmp"), 0);
  }
  {
    // The origin bit alone turns the picture over.
    std::string b = Fixture("tga_24bit_bottom.tga");
    b[17] = 0x20;
    ASSERT_TRUE(LoadBytes(b));
    ExpectPicture("TGA origin bit set on bottom-up rows", 4, 3, 24,
                  FlipRows(ExpectedWords("tga_24bit_bottom.tga"), 4), 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Files no route takes.

TEST_F(Acquisition, FilesNoRouteTakesAreRefused) {
  const char* const files[] = {
      "cursor.cur",                 // cursors are not icons
      "j2k_grey.j2k",               // one component
      "jp2_boxed.jp2",              // boxed JP2, not a codestream
      "tiff_compression6.tif",      // old-style JPEG
      "tiff_compression32946.tif",  // the old code of Deflate
      "tiff_bigtiff.tif",           // libtiff reads it; only classic TIFF is taken
  };
  for (const char* file : files) {
    ASSERT_TRUE(CreateImage(0, 2, 2, 24));
    EXPECT_FALSE(LoadImageFile(0, FixturePath(file))) << file;
    EXPECT_FALSE(ImageExists(0)) << file;
  }
}

TEST_F(Acquisition, MissingFileAndDirectoryFreeTheImage) {
  const std::string paths[] = {FixturePath("no-such-file.png"), FixturesDir(), ""};
  for (const std::string& path : paths) {
    ASSERT_TRUE(CreateImage(0, 2, 2, 24));
    EXPECT_FALSE(LoadImageFile(0, path)) << path;
    EXPECT_FALSE(ImageExists(0)) << path;
  }
}

// ---------------------------------------------------------------------------------------------
// Hostile bytes: truncations, sizes that do not fit, absurd dimensions. Each must be refused, and
// under the sanitizers nothing may be read outside the data.

struct HostileCase {
  const char* what;
  std::string bytes;
};

std::string Cut(std::string bytes, std::size_t keep) {
  bytes.resize(std::min(keep, bytes.size()));
  return bytes;
}

std::vector<HostileCase> HostileCases() {
  std::vector<HostileCase> cases;
  auto add = [&](const char* what, std::string bytes) { cases.push_back({what, std::move(bytes)}); };
  add("empty", "");
  add("one byte", "B");
  add("BM alone", "BM");
  add("BM and a short header", std::string("BM") + std::string(20, '\0'));

  const std::string bmp8 = Fixture("bmp_8bit.bmp");  // 6x4, 20 colours, bits at 134
  add("BMP cut inside the header", Cut(bmp8, 30));
  add("BMP cut inside the colour table", Cut(bmp8, 60));
  add("BMP cut inside the pixels", Cut(bmp8, bmp8.size() - 9));
  {
    std::string b = bmp8;
    Put32(b, 18, 0);
    add("BMP width 0", b);
  }
  {
    std::string b = bmp8;
    Put32(b, 18, 40000);
    add("BMP width 40000", b);
  }
  {
    std::string b = bmp8;
    Put32(b, 22, 0x80000000u);
    add("BMP height INT_MIN", b);
  }
  {
    std::string b = bmp8;
    Put32(b, 10, 0x7FFFFFFFu);
    add("BMP bits offset past the end", b);
  }
  {
    std::string b = bmp8;
    b[b.size() - 8] = static_cast<char>(200);
    add("BMP index outside the colour table", b);
  }
  {
    std::string b = bmp8;
    Put16(b, 28, 2);
    add("BMP 2 bits per pixel", b);
  }
  {
    std::string b = bmp8;
    Put32(b, 30, 4);
    add("BMP embedded JPEG", b);
  }
  {
    std::string b = bmp8;
    Put32(b, 14, 66);
    add("BMP header size 66", b);
  }
  {
    std::string b = Fixture("bmp_24bit.bmp");
    Put32(b, 18, 3158064);
    Put32(b, 22, 48);
    add("BMP 3158064x48 in a few bytes", b);
  }
  const std::string rle8 = Fixture("bmp_rle8.bmp");
  {
    std::string b = rle8;
    Put32(b, 22, static_cast<std::uint32_t>(-4));
    add("BMP run-length top-down", b);
  }
  add("BMP run-length cut in a literal run", Cut(rle8, rle8.size() - 30 + 5));
  {
    std::string b = rle8;
    Put32(b, 18, 2554);
    Put32(b, 22, 18803);
    add("BMP run-length 2554x18803 from a few bytes", b);
  }

  const std::string ico = Fixture("ico_24bit.ico");
  add("icon directory of 79 entries in 8 bytes", Cut(std::string("\0\0\1\0\x4F\0\0\0", 8), 8));
  {
    std::string b = ico;
    Put32(b, 18, 0x7FFFFFFFu);
    add("icon entry offset 2^31-1", b);
  }
  {
    std::string b = ico;
    Put32(b, 14, 0xFFFFFFF9u);
    add("icon entry length past the end", b);
  }
  {
    std::string b = ico;
    Put32(b, 14, 60);
    add("icon entry shorter than its bitmap", b);
  }
  {
    std::string b = ico;
    Put32(b, 22 + 4, 65535);
    Put32(b, 22 + 8, 2 * 65535);
    add("icon bitmap 65535x65535", b);
  }
  {
    std::string b = Fixture("ico_png.ico");
    add("icon PNG entry cut short", Cut(b, b.size() - 20));
  }

  const std::string tga = Fixture("tga_24bit_bottom.tga");
  add("TGA header only", Cut(tga, 18));
  add("TGA cut in the pixels", Cut(tga, tga.size() - 1));
  {
    std::string b = tga;
    Put16(b, 12, 0);
    add("TGA width 0", b);
  }
  {
    std::string b = tga;
    Put16(b, 12, 40000);
    add("TGA width 40000", b);
  }
  {
    std::string b = Fixture("tga_rle24_bottom.tga");
    Put16(b, 12, 22627);
    Put16(b, 14, 26435);
    add("TGA run-length 22627x26435 in a few bytes", b);
  }
  {
    // 4x3 = 12 pixels, one run packet of 128.
    std::string b = tga.substr(0, 18);
    b[2] = 10;
    b += std::string("\xFF\x01\x02\x03", 4);
    add("TGA run packet past the picture", b);
  }

  const std::string png = Fixture("png_rgb8.png");
  add("PNG signature only", Cut(png, 8));
  add("PNG cut inside IDAT", Cut(png, png.size() - 20));
  {
    std::string b = png;
    b[b.size() - 14] ^= 0x55;  // inside the IDAT CRC
    add("PNG bad IDAT CRC", b);
  }
  {
    std::string b = png;
    Put32BigEndian(b, 16, 0);
    add("PNG width 0 (bad IHDR CRC too)", b);
  }
  {
    std::string ihdr;
    ihdr += std::string("\0\0\x75\x30\0\0\x75\x30", 8);  // 30000 x 30000
    ihdr += std::string("\x08\x02\0\0\0", 5);
    std::string b = png.substr(0, 8) + PngChunk("IHDR", ihdr) + PngChunk("IDAT", std::string("\x78\x9c\x03\0\0\0\0\1", 8)) +
                    PngChunk("IEND", "");
    add("PNG 30000x30000 from a few bytes", b);
  }
  {
    std::string ihdr = std::string("\0\x0E\x47\x8C\0\x0D\x0A\x1A", 8) + std::string("\x08\0\0\0\0", 5);
    add("PNG IHDR 935820x854554", png.substr(0, 8) + PngChunk("IHDR", ihdr) + PngChunk("IEND", ""));
  }
  {
    // A text chunk claiming 2 GB: libpng only calls that benign, and would allocate it.
    std::string b = png.substr(0, 33) + std::string("\x7F\xFF\xFF\xF0tEXt", 8) + std::string(16, 'a');
    add("PNG huge tEXt chunk", b);
  }

  const std::string jpeg = Fixture("jpeg_grey.jpg");
  add("JPEG start marker only", "\xFF\xD8");
  add("JPEG cut in the header", Cut(jpeg, 100));
  {
    std::string b = jpeg;
    std::size_t sof = b.find("\xFF\xC0");
    Put16BigEndian(b, sof + 5, 30000);
    Put16BigEndian(b, sof + 7, 30000);
    add("JPEG 30000x30000 in a few hundred bytes", b);
  }
  {
    std::string b = jpeg;
    std::size_t sof = b.find("\xFF\xC0");
    Put16BigEndian(b, sof + 5, 0);
    add("JPEG height 0", b);
  }

  const std::string j2k = Fixture("j2k_rgb.j2k");
  add("JPEG 2000 start markers only", Cut(j2k, 5));
  add("JPEG 2000 cut after the header", Cut(j2k, 80));
  {
    std::string b = j2k;
    Put32BigEndian(b, 8, 203);
    Put32BigEndian(b, 12, 2097304);
    add("JPEG 2000 203x2097304", b);
  }

  const std::string tiff = Fixture("tiff_rgb.tif");
  add("TIFF header only", Cut(tiff, 8));
  {
    std::string b = tiff;
    Put32(b, 4, 0x7FFFFFF0u);
    add("TIFF directory past the end", b);
  }
  add("TIFF cut in the directory", Cut(tiff, 20));
  {
    std::string b = Fixture("tiff_grey.tif");
    SetTiffShort(b, 258, 64);
    add("TIFF the RGBA reader cannot read (64-bit samples)", b);
  }
  {
    std::string b = tiff;
    SetTiffShort(b, 256, 40000);
    add("TIFF width 40000", b);
  }
  return cases;
}

std::string PngChunk(const std::string& kind, const std::string& body) {
  // CRC-32 as PNG defines it, bit by bit: these chunks are tiny.
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : kind + body) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  crc ^= 0xFFFFFFFFu;
  std::string out(4, '\0');
  Put32BigEndian(out, 0, static_cast<std::uint32_t>(body.size()));
  out += kind + body;
  std::string tail(4, '\0');
  Put32BigEndian(tail, 0, crc);
  return out + tail;
}

TEST_F(Acquisition, HostileBytesAreRefused) {
  for (const HostileCase& c : HostileCases()) {
    ASSERT_TRUE(CreateImage(0, 2, 2, 24));
    EXPECT_FALSE(LoadBytes(c.bytes)) << c.what;
    EXPECT_FALSE(ImageExists(0)) << c.what;
  }
}

// ---------------------------------------------------------------------------------------------
// The registry: trial order, the first accepting probe decides, cleared state, release always.

struct SpyLog {
  int probes = 0;
  int decodes = 0;
  int releases = 0;
  bool stateWasClear = true;
};
SpyLog FirstLog;
SpyLog SecondLog;

// "SPY!" at offset 0 or 6 (after an icon directory); byte 4 says what the first spy does:
// 'a' accept and decode, 'f' accept and fail the decode, 'w' accept with width 40000,
// 'd' decline after scribbling on the state. The second spy accepts whatever the first declines.
bool SpyBytes(const unsigned char* data, std::size_t size) {
  return size >= 5 && std::memcmp(data, "SPY!", 4) == 0;
}
bool Marked(const unsigned char* data, std::size_t size) {
  return SpyBytes(data, size) || (size >= 11 && SpyBytes(data + 6, size - 6));
}
char Mode(const unsigned char* data) { return static_cast<char>(SpyBytes(data, 5) ? data[4] : data[10]); }

bool FirstProbe(const unsigned char* data, std::size_t size, DecoderState& st) {
  ++FirstLog.probes;
  if (st.width != 0 || st.height != 0 || st.depth != 0 || st.state != nullptr) FirstLog.stateWasClear = false;
  if (!Marked(data, size)) return false;
  char mode = Mode(data);
  if (mode == 'd') {
    st = DecoderState{7, 7, 24, &FirstLog};
    return false;
  }
  st = DecoderState{mode == 'w' ? 40000 : 2, mode == 'f' ? 2 : 1, 24, &FirstLog};
  return true;
}
bool FirstDecode(DecoderState& st, std::uint32_t* pixels, int stride) {
  ++FirstLog.decodes;
  EXPECT_EQ(stride, st.width * 4);
  pixels[0] = 0x123456;
  pixels[1] = 0x654321;
  return st.state == &FirstLog && st.height == 1;  // a height of 2 marks the failing case
}
void FirstRelease(DecoderState&) { ++FirstLog.releases; }

bool SecondProbe(const unsigned char* data, std::size_t size, DecoderState& st) {
  ++SecondLog.probes;
  if (st.width != 0 || st.height != 0 || st.depth != 0 || st.state != nullptr) SecondLog.stateWasClear = false;
  if (!Marked(data, size)) return false;
  st = DecoderState{1, 1, 32, nullptr};
  return true;
}
bool SecondDecode(DecoderState&, std::uint32_t* pixels, int) {
  ++SecondLog.decodes;
  pixels[0] = 0xFF00FF00u;
  return true;
}
void SecondRelease(DecoderState&) { ++SecondLog.releases; }

const ImageDecoder FirstSpy{"first spy", FirstProbe, FirstDecode, FirstRelease};
const ImageDecoder SecondSpy{"second spy", SecondProbe, SecondDecode, SecondRelease};

class Registry : public Acquisition {
 protected:
  void SetUp() override {
    Acquisition::SetUp();
    RegisterImageDecoder(&FirstSpy);
    RegisterImageDecoder(&SecondSpy);
    RegisterImageDecoder(&FirstSpy);  // a second registration changes nothing
    FirstLog = SpyLog{};
    SecondLog = SpyLog{};
  }
};

TEST_F(Registry, ProbesInOrderAndTheFirstAcceptingDecides) {
  struct Case {
    const char* what;
    std::string bytes;
    bool loads;
    int firstProbes, firstDecodes, firstReleases;
    int secondProbes, secondDecodes, secondReleases;
    int width, depth;
  } cases[] = {
      {"first takes it", "SPY!a", true, 1, 1, 1, 0, 0, 0, 2, 24},
      {"first fails its decode: no other route", "SPY!f", false, 1, 1, 1, 0, 0, 0, 0, 0},
      {"first reports an impossible width: released, nothing made", "SPY!w", false, 1, 0, 1, 0, 0, 0,
       0, 0},
      {"first declines: second gets a cleared state", "SPY!d", true, 1, 0, 0, 1, 1, 1, 1, 32},
      {"data starting with BM goes to the BMP reader only", "BMSPY!a", false, 0, 0, 0, 0, 0, 0, 0, 0},
      {"a broken icon directory falls through to the decoders",
       std::string("\0\0\1\0\1\0SPY!a", 11), true, 1, 1, 1, 0, 0, 0, 2, 24},
      {"nobody's data: every probe asked once", "????????", false, 1, 0, 0, 1, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    FirstLog = SpyLog{};
    SecondLog = SpyLog{};
    ASSERT_TRUE(CreateImage(0, 2, 2, 24));
    EXPECT_EQ(LoadBytes(c.bytes), c.loads) << c.what;
    EXPECT_EQ(ImageExists(0), c.loads) << c.what;
    EXPECT_EQ(FirstLog.probes, c.firstProbes) << c.what;
    EXPECT_EQ(FirstLog.decodes, c.firstDecodes) << c.what;
    EXPECT_EQ(FirstLog.releases, c.firstReleases) << c.what;
    EXPECT_EQ(SecondLog.probes, c.secondProbes) << c.what;
    EXPECT_EQ(SecondLog.decodes, c.secondDecodes) << c.what;
    EXPECT_EQ(SecondLog.releases, c.secondReleases) << c.what;
    EXPECT_TRUE(FirstLog.stateWasClear && SecondLog.stateWasClear) << c.what;
    EXPECT_EQ(ImageWidth(0), c.width) << c.what;
    EXPECT_EQ(ImageDepth(0), c.depth) << c.what;
  }
}

TEST_F(Registry, BuiltInDecodersComeFirst) {
  // A PNG is taken by the PNG decoder; the spies registered after it are never asked.
  ASSERT_TRUE(LoadImageFile(0, FixturePath("png_rgb8.png")));
  EXPECT_EQ(FirstLog.probes, 0);
  EXPECT_EQ(SecondLog.probes, 0);
}

}  // namespace
