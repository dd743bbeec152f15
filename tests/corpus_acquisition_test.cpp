// SPDX-License-Identifier: MIT
// Holds the store's file load to the shared corpora: valid files load at their size, refused files
// are refused, and no file crashes, hangs or swells the process. Each file loads in a child process.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/acquisition.h"
#include "support/limited_load.h"
#include "support/test_support.h"


namespace {

enum class Want { Loads, Refused, Either };

// What a file must do. Width 0: the size the stock library reported (observed/probe_results.tsv).
// Depth 0: not checked.
struct Rule {
  const char* pattern;  // over the path below corpora/; '*' matches any run, folders included
  Want want;
  int width;
  int height;
  int depth;
  const char* why;
};

// First match wins. Files no rule names follow the stock library's observed outcome (PNG, JPEG,
// JPEG 2000, TIFF) with the format rules applied in Expectation() below.
const Rule Rules[] = {
    // BMP: the store's own reader.
    {"bmp/bmpsuite/g/*", Want::Loads, 0, 0, 0, "bmpsuite good files"},
    {"bmp/bmpsuite/q/*", Want::Either, 0, 0, 0, "questionable: must not crash"},
    {"bmp/bmpsuite/b/*", Want::Either, 0, 0, 0, "bad: must not crash"},
    {"bmp/bmpsuite/x/*", Want::Refused, 0, 0, 0, "OS/2 bitmap array, another format"},
    {"bmp/image-rs-bad/Bad_clrsUsed.bmp", Want::Either, 0, 0, 0, "colour count only"},
    {"bmp/image-rs-bad/*", Want::Refused, 0, 0, 0, "absurd sizes for the data"},
    {"bmp/image-rs-lenient/*", Want::Either, 0, 0, 0, "decoded leniently elsewhere"},
    {"bmp/pillow/l2rgb_read.bmp", Want::Refused, 0, 0, 0, "57 bytes claiming 3158064x48"},
    {"bmp/pillow/rgb32bf-*", Want::Loads, 0, 0, 32, "32-bit bit fields"},
    {"bmp/pillow/*", Want::Loads, 0, 0, 24, "Pillow's valid files"},
    {"bmp/gdk-pixbuf-fail/*", Want::Refused, 0, 0, 0, "must fail"},
    {"bmp/gdk-pixbuf-cve/*", Want::Refused, 0, 0, 0, "must fail"},
    {"bmp/gdk-pixbuf-randomly-modified/*", Want::Either, 0, 0, 0, "must not crash"},
    {"bmp/gdk-pixbuf-reftests/mandatory-bitmasks.bmp", Want::Loads, 350, 400, 32, "reference"},

    // ICO: the chosen entry is the deepest of the first entry's size.
    {"ico/gdk-pixbuf-reftests/bug785447.ico", Want::Loads, 48, 48, 32, "48x48 group, 32 bits"},
    {"ico/gdk-pixbuf-reftests/squares.ico", Want::Loads, 100, 100, 24, "4-bit entry"},
    {"ico/gdk-pixbuf-fail/*", Want::Refused, 0, 0, 0, "must fail"},
    {"ico/gdk-pixbuf-randomly-modified/*", Want::Either, 0, 0, 0, "must not crash"},
    {"ico/image-rs/bmp-24bpp-mask.ico", Want::Loads, 32, 32, 24, ""},
    {"ico/image-rs/bmp-32bpp-*", Want::Loads, 0, 0, 32, ""},
    {"ico/image-rs/bmp_v5_with_icc.ico", Want::Loads, 127, 64, 24, "V5 header in an icon"},
    {"ico/image-rs/lenient-bpp.ico", Want::Loads, 256, 256, 0, "PNG entry, odd bit count"},
    {"ico/image-rs/multiple_entries_with_different_bit_depth.ico", Want::Loads, 32, 32, 32,
     "first entry 32x32 4 bits; its 32-bit sibling wins"},
    {"ico/image-rs/png-32bpp-alpha.ico", Want::Loads, 32, 32, 32, "PNG entry"},
    {"ico/image-rs/png_*", Want::Loads, 32, 32, 24, "PNG entry without alpha"},
    {"ico/image-rs/smile.ico", Want::Loads, 32, 32, 24, "first of two sizes"},
    {"ico/image-rs/truncated_mask_32bpp.ico", Want::Loads, 64, 64, 32, "alpha of its own"},
    {"ico/image-rs/two-entry-order-test.ico", Want::Loads, 48, 48, 24, "tie: the earliest"},
    {"ico/image-rs-bad/*", Want::Refused, 0, 0, 0, "entry length too short for its bitmap"},
    {"ico/image-rs-regression/*", Want::Either, 0, 0, 0, "must not crash or swell"},
    {"ico/pillow/decompression_bomb.ico", Want::Refused, 0, 0, 0, "bitmap of 65535x65535"},
    {"ico/pillow/*.cur", Want::Refused, 0, 0, 0, "cursors are not icons"},
    {"ico/pillow/hopper_256x256.ico", Want::Loads, 256, 256, 24, ""},
    {"ico/pillow/hopper_draw.ico", Want::Loads, 16, 16, 32, "PNG entry"},
    {"ico/pillow/python.ico", Want::Loads, 16, 16, 32, "first entry's size"},
    {"ico/pillow/*", Want::Loads, 16, 16, 24, "small icons"},

    // TGA: the registered decoder takes types 2 and 10 at 16, 24 and 32 bits (see TgaTaken).
    {"tga/pillow/cross_scan_line_truncated.tga", Want::Refused, 0, 0, 0, "truncated"},
    {"tga/pillow/p_8.tga", Want::Refused, 0, 0, 0, "header only"},
    {"tga/gdk-pixbuf-reftests/*.disabled", Want::Either, 0, 0, 0, "not asserted upstream"},
    {"tga/image-rs-regression/*", Want::Either, 0, 0, 0, "must not panic"},
    {"tga/gdk-pixbuf-fail/*", Want::Refused, 0, 0, 0, "must fail"},
    {"tga/gdk-pixbuf-randomly-modified/*", Want::Either, 0, 0, 0, "must not crash"},

    // PNG.
    {"png/libspng-crashers/*", Want::Refused, 0, 0, 0, "should_fail; huge chunks refused early"},

    // JPEG.
    {"jpeg/jpeg-decoder-reftest/mozilla/jpg-size-6x6.jpg", Want::Loads, 6, 6, 0,
     "really a PNG: the store goes by the bytes"},
    {"jpeg/jpeg-decoder-crashtest/imagetestsuite/6903d4538fd33c8fd0ded32cb30d618e.jpg",
     Want::Refused, 0, 0, 0, "49157x27397 progressive bomb"},
    {"jpeg/jpeg-decoder-crashtest/*", Want::Either, 0, 0, 0, "must not crash"},
    {"jpeg/gdk-pixbuf-randomly-modified/*", Want::Either, 0, 0, 0, "must not crash"},

    // JPEG 2000.
    {"j2k/jp2-boxed/*", Want::Refused, 0, 0, 0, "boxed JP2 is not a codestream"},
    {"j2k/htj2k/byte.jph", Want::Refused, 0, 0, 0, "boxed"},
    {"j2k/nonregression-codestreams/broken.jpc", Want::Refused, 0, 0, 0, "203x2097304 bomb"},
    {"j2k/nonregression-codestreams/issue226.j2k", Want::Either, 0, 0, 0, "stream too short"},
    {"j2k/pillow/crash-*", Want::Either, 0, 0, 0, "must not crash"},

    // TIFF.
    {"tiff/image-tiff-bigtiff/*", Want::Refused, 0, 0, 0, "BigTIFF"},
    {"tiff/*bigtiff*", Want::Refused, 0, 0, 0, "BigTIFF"},
    {"tiff/gdk-pixbuf-fail/*", Want::Refused, 0, 0, 0, "absurd sizes"},
    {"tiff/gdk-pixbuf-randomly-modified/*", Want::Either, 0, 0, 0, "must not crash"},
    {"tiff/image-tiff-fuzz/*", Want::Either, 0, 0, 0, "fuzz crashers"},
    {"tiff/pillow/crash-*", Want::Either, 0, 0, 0, "must not crash"},
    {"tiff/pillow/oom-*", Want::Either, 0, 0, 0, "must not swell"},
    {"tiff/pillow/libtiff_segfault.tif", Want::Either, 0, 0, 0, "must not crash"},
    {"tiff/pillow/seek_too_large.tif", Want::Either, 0, 0, 0, "must not crash"},

    // Formats no built-in reader or registered decoder takes: left to the picture fallback.
    {"gif/*", Want::Refused, 0, 0, 0, "GIF: picture fallback"},
    {"webp/*", Want::Refused, 0, 0, 0, "WebP: picture fallback"},
    {"other/*", Want::Refused, 0, 0, 0, "other formats: picture fallback"},
};

struct Observed {
  std::string kind;     // png, jpeg, j2k, tiff or pixbuf
  std::string outcome;  // loads, refused, TIMEOUT
  std::string detail;   // "OK WxH ..." or the error
};

struct Expected {
  Want want = Want::Either;
  int width = 0;
  int height = 0;
  int depth = 0;
  std::string why;
};

// Whether `text` matches `pattern`, whose '*' stands for any run of characters ('/' included).
bool Matches(const char* pattern, const char* text) {
  if (*pattern == '\0') return *text == '\0';
  if (*pattern == '*')
    return Matches(pattern + 1, text) || (*text != '\0' && Matches(pattern, text + 1));
  return *text == *pattern && Matches(pattern + 1, text + 1);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// detail "OK 303x179 comps=1 ..." -> size and the named value.
bool ObservedSize(const std::string& detail, int& width, int& height) {
  return std::sscanf(detail.c_str(), "OK %dx%d", &width, &height) == 2;
}
long ObservedValue(const std::string& detail, const std::string& key, long otherwise) {
  std::size_t at = detail.find(" " + key + "=");
  if (at == std::string::npos) return otherwise;
  return std::strtol(detail.c_str() + at + key.size() + 2, nullptr, 10);
}

// TGA's rule from its header: types 2 and 10 at 16, 24 or 32 bits.
bool TgaTaken(const std::string& bytes, int& depth) {
  if (bytes.size() < 18) return false;
  unsigned type = static_cast<unsigned char>(bytes[2]);
  unsigned bits = static_cast<unsigned char>(bytes[16]);
  depth = bits == 32 ? 32 : 24;
  return (type == 2 || type == 10) && (bits == 16 || bits == 24 || bits == 32);
}

// PngSuite names say the colour type (…n4a16, …n6a08) and the transparency cases start with t.
int PngSuiteDepth(const std::string& name) {
  if (name.size() < 8) return 0;
  char type = name[4];
  if (type == '4' || type == '6') return 32;
  if (name[0] == 't' && name.rfind("tp0", 0) != 0) return 32;
  return 24;
}

Expected Expectation(const std::string& relative, const std::string& absolute,
                     const Observed* observed) {
  Expected e;
  int ow = 0;
  int oh = 0;
  const bool sized = observed != nullptr && ObservedSize(observed->detail, ow, oh);
  for (const Rule& rule : Rules) {
    if (!Matches(rule.pattern, relative.c_str())) continue;
    e.want = rule.want;
    e.width = rule.width != 0 ? rule.width : (sized ? ow : 0);
    e.height = rule.height != 0 ? rule.height : (sized ? oh : 0);
    e.depth = rule.depth;
    e.why = rule.why;
    if (relative.rfind("bmp/bmpsuite/g/", 0) == 0) {
      std::string bytes = ReadAll(absolute);
      int bits = bytes.size() > 30 ? static_cast<unsigned char>(bytes[28]) : 0;
      e.depth = bits == 32 ? 32 : 24;
    }
    return e;
  }
  const std::string format = relative.substr(0, relative.find('/'));
  if (format == "tga") {
    int depth = 0;
    if (TgaTaken(ReadAll(absolute), depth)) {
      e.want = Want::Loads;
      e.width = sized ? ow : 0;
      e.height = sized ? oh : 0;
      e.depth = depth;
      e.why = "type 2 or 10, 16/24/32 bits";
    } else {
      e.want = Want::Refused;
      e.why = "TGA type or depth left to the picture fallback";
    }
    return e;
  }
  if (observed == nullptr || observed->kind == "pixbuf") {
    e.want = Want::Either;
    e.why = "no rule and no observation";
    return e;
  }
  if (observed->outcome != "loads") {
    e.want = Want::Refused;
    e.why = "refused by the stock library: " + observed->detail;
    return e;
  }
  e.want = Want::Loads;
  e.width = ow;
  e.height = oh;
  e.why = "loaded by the stock library";
  if (format == "j2k") {
    long comps = ObservedValue(observed->detail, "comps", 0);
    if (comps != 3 && comps != 4) {
      e.want = Want::Refused;
      e.why = "codestream of " + std::to_string(comps) + " components";
    } else {
      e.depth = comps == 4 ? 32 : 24;
    }
  } else if (format == "tiff") {
    long compression = ObservedValue(observed->detail, "comp", 1);
    if (compression == 6 || compression == 32946 || ObservedValue(observed->detail, "bigtiff", 0)) {
      e.want = Want::Refused;
      e.why = "old JPEG, old Deflate code or BigTIFF";
    } else if (!TIFFIsCODECConfigured(static_cast<std::uint16_t>(compression))) {
      // The Windows build's libtiff has no LZMA or WebP codec, for one.
      e.want = Want::Refused;
      e.why = "compression " + std::to_string(compression) + " is not in this build's libtiff";
    } else {
      e.depth = 32;
    }
  } else if (format == "jpeg") {
    e.depth = 24;
  } else if (format == "png" && relative.rfind("png/pngsuite/", 0) == 0) {
    e.depth = PngSuiteDepth(relative.substr(relative.rfind('/') + 1));
  }
  return e;
}

// Every file the stock libraries were tried on, with what they did (the non-pixbuf row first).
std::map<std::string, Observed> ReadObservations(const std::string& corpora) {
  std::map<std::string, Observed> rows;
  std::ifstream in(corpora + "/observed/probe_results.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream split(line);
    std::string cell;
    while (std::getline(split, cell, '\t')) cells.push_back(cell);
    if (cells.size() < 3) continue;
    Observed row{cells[1], cells[2], cells.size() > 4 ? cells[4] : ""};
    auto found = rows.find(cells[0]);
    if (found == rows.end() || found->second.kind == "pixbuf") rows[cells[0]] = row;
  }
  return rows;
}

struct Outcome {
  bool crashed = false;
  bool timedOut = false;
  bool loaded = false;
  int width = 0;
  int height = 0;
  int depth = 0;
  long maxRssKb = 0;
  double seconds = 0;
  int signal = 0;
  unsigned long exitCode = 0;
};

int EnvInt(const char* name, int otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : otherwise;
}

// Under AddressSanitizer the resident size stands in for the address-space limit, and the
// instrumented readers are slower.
int DefaultSeconds() { return AddressSanitized() ? 8 : 2; }
int DefaultMegabytes() { return AddressSanitized() ? 1024 : 512; }

// The decoders are registered here too: on Windows the child is a fresh start of this program.
int LoadThroughStore(const std::string& path) {
  RegisterImageDecoders();
  return LoadImageFile(0, path) ? 1 : 0;
}

// Loads one file in a child limited in address space and processor time.
Outcome LoadInChild(const std::string& path, int seconds, int megabytes) {
  const LimitedLoad child = LoadInLimitedChild(LoadThroughStore, path, seconds, megabytes);
  Outcome result;
  result.crashed = child.outcome != LoadOutcome::Finished;
  result.timedOut = child.outcome == LoadOutcome::OverTime;
  result.loaded = child.route != 0;
  result.width = child.width;
  result.height = child.height;
  result.depth = child.depth;
  result.maxRssKb = child.maxRssKb;
  result.seconds = child.cpuSeconds;
  result.signal = child.signal;
  result.exitCode = child.exitCode;
  return result;
}

bool ImageFile(const std::string& relative) {
  static const char* const Skip[] = {".txt", ".md", ".md5", ".list", ".conf", ".rgba", ".icc",
                                     ".xmp", ".ijg", "README", "LICENSE", "COPYRIGHT", "VERSION"};
  for (const char* tail : Skip) {
    std::string t(tail);
    if (relative.size() >= t.size() && relative.compare(relative.size() - t.size(), t.size(), t) == 0)
      return false;
  }
  return true;
}

class CorpusAcquisition : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusAcquisition, EveryFileAsExpected) {
  const std::string shared = SharedDir();
  if (shared.empty()) GTEST_SKIP() << "NIMBREL_SHARED is not set or not a directory: no corpora";
  const std::string corpora = shared + "/corpora";
  const auto observations = ReadObservations(corpora);
  if (observations.empty()) GTEST_SKIP() << "no " << corpora << "/observed/probe_results.tsv";
  RegisterImageDecoders();

  const std::string format = GetParam();
  const int seconds = EnvInt("NIMBREL_CORPUS_SECONDS", DefaultSeconds());
  const int megabytes = EnvInt("NIMBREL_CORPUS_MEGABYTES", DefaultMegabytes());
  const bool verbose = EnvInt("NIMBREL_CORPUS_VERBOSE", 0) != 0;
  int loaded = 0;
  int refused = 0;
  int files = 0;
  double slowest = 0;
  std::string slowestFile;
  long largestRss = 0;
  std::string largestFile;
  for (const auto& [relative, observed] : observations) {
    if (relative.rfind(format + "/", 0) != 0 || !ImageFile(relative)) continue;
    const std::string path = corpora + "/" + relative;
    const Expected want = Expectation(relative, path, &observed);
    const Outcome got = LoadInChild(path, seconds, megabytes);
    ++files;
    if (verbose) {
      std::printf("%-8s %-7s %5dx%-5d %2d  %.2fs %7ld kB  %s\n",
                  got.crashed ? "CRASHED" : got.loaded ? "loaded" : "refused",
                  want.want == Want::Loads ? "loads" : want.want == Want::Refused ? "refused" : "either",
                  got.width, got.height, got.depth, got.seconds, got.maxRssKb, relative.c_str());
    }
    if (got.seconds > slowest) {
      slowest = got.seconds;
      slowestFile = relative;
    }
    if (got.maxRssKb > largestRss) {
      largestRss = got.maxRssKb;
      largestFile = relative;
    }
    SCOPED_TRACE(relative + " (" + want.why + ")");
    EXPECT_FALSE(got.crashed) << (got.timedOut ? "took longer than " + std::to_string(seconds) + " s"
                                               : "child ended by signal " + std::to_string(got.signal) +
                                                     ", exit code " + std::to_string(got.exitCode));
    if (got.crashed) continue;
    EXPECT_LE(got.maxRssKb, static_cast<long>(megabytes) * 1024) << "resident size in kB";
    EXPECT_LE(got.seconds, seconds) << "processor seconds";
    got.loaded ? ++loaded : ++refused;
    if (want.want == Want::Refused) {
      EXPECT_FALSE(got.loaded) << "loaded as " << got.width << "x" << got.height << " depth "
                               << got.depth;
    } else if (want.want == Want::Loads) {
      EXPECT_TRUE(got.loaded);
      if (got.loaded && want.width != 0) {
        EXPECT_EQ(got.width, want.width);
        EXPECT_EQ(got.height, want.height);
      }
      if (got.loaded && want.depth != 0) {
        EXPECT_EQ(got.depth, want.depth);
      }
    }
    if (got.loaded) {
      EXPECT_TRUE(got.depth == 24 || got.depth == 32) << got.depth;
    }
  }
  std::printf("%s: %d files, %d loaded, %d refused; slowest %.2f s CPU (%s), largest RSS %ld kB (%s)\n",
              format.c_str(), files, loaded, refused, slowest, slowestFile.c_str(), largestRss,
              largestFile.c_str());
  EXPECT_GT(files, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, CorpusAcquisition,
                         ::testing::Values("bmp", "ico", "tga", "png", "jpeg", "j2k", "tiff", "gif",
                                           "webp", "other"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
