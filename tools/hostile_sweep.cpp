// SPDX-License-Identifier: MIT
// Hostile-file sweep: every file of the shared corpora through the program's load path, each in a
// child process under time and memory limits, tallied per format; valid files must load at size.
//
//   hostile_sweep [--verbose] [CORPORA_DIR]     (default: $NIMBREL_SHARED/corpora)
//
// Exit 0 when no file crashed, ran over time or over memory and every valid file the program can
// read loaded at its size; 1 otherwise; 77 when the corpora are absent.
//
// Time is the child's processor time (the machine is shared, so its wall time says little); a
// child that sleeps or waits is stopped after ten times the limit of wall time.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/acquisition.h"
#include "shell/picture_fallback.h"
#include "support/limited_load.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Which files are valid pictures, after the corpora's own authors (EXPECT.md). First match wins.

enum class Verdict { Valid, Unjudged };

struct ValidRule {
  const char* pattern;  // fnmatch over the path below corpora/
  Verdict verdict;
  int width;            // 0: the size the reference library reported
  int height;
};

const ValidRule ValidRules[] = {
    {"png/pngsuite/x*", Verdict::Unjudged, 0, 0},
    {"png/pngsuite/*.png", Verdict::Valid, 0, 0},
    {"png/pillow/png_decompression_dos.png", Verdict::Valid, 0, 0},

    {"bmp/bmpsuite/g/*.bmp", Verdict::Valid, 0, 0},
    {"bmp/pillow/l2rgb_read.bmp", Verdict::Unjudged, 0, 0},
    {"bmp/pillow/*.bmp", Verdict::Valid, 0, 0},
    {"bmp/gdk-pixbuf-reftests/mandatory-bitmasks.bmp", Verdict::Valid, 0, 0},

    // Icons: the entry read is the deepest of the first entry's size, so sizes are given here.
    {"ico/image-rs/bmp-24bpp-mask.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/bmp-32bpp-alpha.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/bmp-32bpp-conflicting-and-mask.ico", Verdict::Valid, 16, 16},
    {"ico/image-rs/bmp_v5_with_icc.ico", Verdict::Valid, 127, 64},
    {"ico/image-rs/lenient-bpp.ico", Verdict::Valid, 256, 256},
    {"ico/image-rs/multiple_entries_with_different_bit_depth.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/png-32bpp-alpha.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/png_l8.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/png_rgb8.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/smile.ico", Verdict::Valid, 32, 32},
    {"ico/image-rs/truncated_mask_32bpp.ico", Verdict::Valid, 64, 64},
    {"ico/image-rs/two-entry-order-test.ico", Verdict::Valid, 48, 48},
    {"ico/pillow/hopper.ico", Verdict::Valid, 16, 16},
    {"ico/pillow/hopper_256x256.ico", Verdict::Valid, 256, 256},
    {"ico/pillow/python.ico", Verdict::Valid, 16, 16},
    {"ico/pillow/black_and_white.ico", Verdict::Valid, 16, 16},
    {"ico/pillow/hopper_mask.ico", Verdict::Valid, 16, 16},
    {"ico/gdk-pixbuf-reftests/bug785447.ico", Verdict::Valid, 48, 48},
    {"ico/gdk-pixbuf-reftests/squares.ico", Verdict::Valid, 100, 100},

    {"tga/truevision-conformance/*.tga", Verdict::Valid, 0, 0},
    {"tga/tga_test_files/*.tga", Verdict::Valid, 0, 0},
    {"tga/tga_test_files/*.TGA", Verdict::Valid, 0, 0},
    {"tga/pillow-common/*.tga", Verdict::Valid, 0, 0},
    {"tga/pillow/cross_scan_line.tga", Verdict::Valid, 0, 0},
    {"tga/pillow/rgba16.tga", Verdict::Valid, 0, 0},
    {"tga/pillow/rgb32rle*.tga", Verdict::Valid, 0, 0},
    {"tga/pillow/tga_id_field.tga", Verdict::Valid, 0, 0},
    {"tga/pillow/la.tga", Verdict::Valid, 0, 0},
    {"tga/pillow/p_16.tga", Verdict::Valid, 0, 0},
    {"tga/gdk-pixbuf-reftests/gtk-logo-*.tga", Verdict::Valid, 0, 0},

    {"tiff/libtiff-test-images/*.tif*", Verdict::Valid, 0, 0},
    {"tiff/libtiffpic/*.tif", Verdict::Valid, 0, 0},
    {"tiff/image-tiff-seq/*.tif*", Verdict::Valid, 0, 0},
    {"tiff/generated-here/*", Verdict::Valid, 0, 0},
    {"tiff/pillow/crash-*", Verdict::Unjudged, 0, 0},
    {"tiff/pillow/oom-*", Verdict::Unjudged, 0, 0},
    {"tiff/pillow/libtiff_segfault.tif", Verdict::Unjudged, 0, 0},
    {"tiff/pillow/seek_too_large.tif", Verdict::Unjudged, 0, 0},
    {"tiff/pillow/*", Verdict::Valid, 0, 0},

    {"jpeg/libjpeg-turbo/*.jpg", Verdict::Valid, 0, 0},
    {"jpeg/jpeg-decoder-reftest/mozilla/jpg-size-6x6.jpg", Verdict::Valid, 6, 6},  // a PNG inside
    {"jpeg/jpeg-decoder-reftest/*.jpg", Verdict::Valid, 0, 0},
    {"jpeg/pillow/pil_sample_cmyk.jpg", Verdict::Valid, 0, 0},
    {"jpeg/pillow/truncated_app14.jpg", Verdict::Valid, 0, 0},
    {"jpeg/pillow/photoshop-200dpi-broken.jpg", Verdict::Valid, 0, 0},

    {"j2k/conformance/*.j2[kc]", Verdict::Valid, 0, 0},
    {"j2k/htj2k/*.j2k", Verdict::Valid, 0, 0},
    {"j2k/htj2k/*.jhc", Verdict::Valid, 0, 0},
    {"j2k/nonregression-codestreams/*.jp2", Verdict::Unjudged, 0, 0},
    {"j2k/nonregression-codestreams/27ac95*", Verdict::Unjudged, 0, 0},
    {"j2k/nonregression-codestreams/issue1438.j2k", Verdict::Unjudged, 0, 0},
    {"j2k/nonregression-codestreams/issue1472-bigloop.j2k", Verdict::Unjudged, 0, 0},
    {"j2k/nonregression-codestreams/issue775*", Verdict::Unjudged, 0, 0},
    {"j2k/nonregression-codestreams/v4dwt_interleave_h.gsr105.j2k", Verdict::Unjudged, 0, 0},
    {"j2k/nonregression-codestreams/broken.jpc", Verdict::Unjudged, 0, 0},  // a 203x2097304 bomb
    {"j2k/nonregression-codestreams/*", Verdict::Valid, 0, 0},
    {"j2k/pillow/issue_6194.j2k", Verdict::Valid, 0, 0},
    {"j2k/pillow/9bit.j2k", Verdict::Valid, 0, 0},
    {"j2k/pillow/16bit.cropped.j2k", Verdict::Valid, 0, 0},
    {"j2k/pillow/rgb_trns_ycbc.j2k", Verdict::Valid, 0, 0},

    {"gif/gif-test-suite/*.gif", Verdict::Valid, 0, 0},  // only those whose .conf lists a frame
    {"gif/image-rs/*", Verdict::Valid, 0, 0},
    {"gif/pillow/decompression_bomb_extents.gif", Verdict::Valid, 0, 0},

    {"webp/libwebp-test-data/*.webp", Verdict::Valid, 0, 0},
    {"webp/image-rs/*", Verdict::Valid, 0, 0},
};

// ---------------------------------------------------------------------------------------------
// What the reference libraries did with each file (observed/probe_results.tsv).

struct Reference {
  bool loads = false;
  int width = 0;
  int height = 0;
  std::string detail;
};

// Per file: the row of the format's own library (png, jpeg, j2k, tiff) and gdk-pixbuf's row.
struct References {
  Reference library;
  Reference pixbuf;
  bool hasLibrary = false;
  bool hasPixbuf = false;
};

std::map<std::string, References> ReadReferences(const std::string& corpora) {
  std::map<std::string, References> table;
  std::ifstream in(corpora + "/observed/probe_results.tsv");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream split(line);
    for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
    if (cells.size() < 3) continue;
    Reference row;
    row.loads = cells[2] == "loads";
    row.detail = cells.size() > 4 ? cells[4] : "";
    if (row.loads && std::sscanf(row.detail.c_str(), "OK %dx%d", &row.width, &row.height) != 2)
      row.loads = false;
    References& refs = table[cells[0]];
    if (cells[1] == "pixbuf") {
      refs.pixbuf = row;
      refs.hasPixbuf = true;
    } else {
      refs.library = row;
      refs.hasLibrary = true;
    }
  }
  return table;
}

long DetailValue(const std::string& detail, const std::string& key, long otherwise) {
  const std::size_t at = detail.find(" " + key + "=");
  if (at == std::string::npos) return otherwise;
  return std::strtol(detail.c_str() + at + key.size() + 2, nullptr, 10);
}

// GIF suite files whose .conf lists no frame are no picture, whatever a decoder makes of them.
std::map<std::string, int> ReadGifFrames(const std::string& corpora) {
  std::map<std::string, int> frames;
  std::ifstream in(corpora + "/observed/gif_suite_expect.txt");
  std::string line;
  while (std::getline(in, line)) {
    char name[256] = {};
    int count = 0;
    const char* at = std::strstr(line.c_str(), "frames=");
    if (at == nullptr || std::sscanf(line.c_str(), "%255s", name) != 1) continue;
    count = std::atoi(at + 7);
    frames[std::string("gif/gif-test-suite/") + name + ".gif"] = count;
  }
  return frames;
}

std::string ReadHead(const std::string& path, std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// A valid file the program cannot read by design (or that the reference library itself refuses)
// is reported, not held against the sweep. Answers the reason, or "" when the file must load.
std::string OutOfReach(const std::string& relative, const std::string& path,
                       const References& refs, const std::map<std::string, int>& gifFrames) {
  const std::string format = relative.substr(0, relative.find('/'));
  const bool ownLibrary = format == "png" || format == "jpeg" || format == "j2k" || format == "tiff";
  const Reference& ref = ownLibrary ? refs.library : refs.pixbuf;
  if (format == "ico") return "";  // sizes come from the table
  if (ownLibrary ? !refs.hasLibrary : !refs.hasPixbuf) return "no reference result";
  if (!ref.loads) return "the reference library refuses it too";
  if (ref.width > ImageMaxSide || ref.height > ImageMaxSide) return "larger than the store holds";
  if (format == "j2k") {
    const long components = DetailValue(ref.detail, "comps", 0);
    if (components != 3 && components != 4) return "a codestream of neither 3 nor 4 components";
  } else if (format == "tiff") {
    const long compression = DetailValue(ref.detail, "comp", 1);
    if (compression == 6 || compression == 32946) return "old-style JPEG or old Deflate code";
    if (DetailValue(ref.detail, "bigtiff", 0) != 0) return "BigTIFF";
  } else if (format == "tga") {
    const std::string head = ReadHead(path, 18);
    if (head.size() < 18) return "shorter than a header";
    const unsigned type = static_cast<unsigned char>(head[2]);
    const unsigned bits = static_cast<unsigned char>(head[16]);
    if ((type != 2 && type != 10) || (bits != 16 && bits != 24 && bits != 32))
      return "colour-mapped or grey TGA";
  } else if (format == "gif") {
    auto found = gifFrames.find(relative);
    if (found != gifFrames.end() && found->second == 0) return "no frame in the suite's .conf";
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// One file in a child process.

enum class Outcome { Loaded, Refused, Crashed, OverTime, OverMemory };
const char* const OutcomeNames[] = {"loaded", "refused", "CRASHED", "OVER TIME", "OVER MEMORY"};

struct Result {
  Outcome outcome = Outcome::Crashed;
  int route = 0;  // 1: the store's load, 2: the picture fallback
  int width = 0;
  int height = 0;
  int depth = 0;
  double seconds = 0;      // processor time, user and system
  double wallSeconds = 0;
  long rssKb = 0;
  int signal = 0;
};

// As the program does it: the store's load, then the picture service when no image came.
int LoadAsTheProgram(const std::string& path) {
  if (LoadImageFile(0, path)) return 1;
  return !ImageExists(0) && LoadPictureFallback(0, path) != 0 ? 2 : 0;
}

Result LoadInChild(const std::string& path, int seconds, long megabytes) {
  const LimitedLoad child = LoadInLimitedChild(LoadAsTheProgram, path, seconds, megabytes);
  Result result{Outcome::Crashed, child.route, child.width, child.height, child.depth,
                child.cpuSeconds, child.wallSeconds, child.maxRssKb, child.signal};
  switch (child.outcome) {
    case LoadOutcome::Crashed: return result;
    case LoadOutcome::OverTime: result.outcome = Outcome::OverTime; return result;
    case LoadOutcome::OverMemory: result.outcome = Outcome::OverMemory; return result;
    case LoadOutcome::Finished: break;
  }
  result.outcome = child.route != 0 ? Outcome::Loaded : Outcome::Refused;
  if (result.seconds > seconds) result.outcome = Outcome::OverTime;
  if (result.rssKb > megabytes * 1024) result.outcome = Outcome::OverMemory;
  return result;
}

// ---------------------------------------------------------------------------------------------

void ListFiles(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
  const std::string dir = relative.empty() ? root : root + "/" + relative;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return;
  while (dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat info {};
    if (::stat((root + "/" + child).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (child != "observed") ListFiles(root, child, out);
    } else if (S_ISREG(info.st_mode) && !relative.empty()) {
      out.push_back(child);  // files at the top (EXPECT.md, SOURCES.md) are notes
    }
  }
  ::closedir(handle);
  std::sort(out.begin(), out.end());
}

long EnvNumber(const char* name, long otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atol(value) : otherwise;
}

struct Tally {
  int counts[5] = {};
  int byFallback = 0;
  int valid = 0;
  int validAtSize = 0;
  int validOutOfReach = 0;
};

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  std::string corpora;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else {
      corpora = arg;
    }
  }
  if (corpora.empty()) {
    const char* shared = std::getenv("NIMBREL_SHARED");
    if (shared != nullptr) corpora = std::string(shared) + "/corpora";
  }
  struct stat info {};
  if (corpora.empty() || ::stat(corpora.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::printf("skipped: no corpora (set NIMBREL_SHARED or pass the corpora folder)\n");
    return 77;
  }

  // Sanitized code runs a few times slower and keeps freed memory in quarantine.
  const int seconds =
      static_cast<int>(EnvNumber("NIMBREL_SWEEP_SECONDS", AddressSanitized() ? 8 : 2));
  const long megabytes = EnvNumber("NIMBREL_SWEEP_MEGABYTES", AddressSanitized() ? 1024 : 512);

  RegisterImageDecoders();
  const auto references = ReadReferences(corpora);
  const auto gifFrames = ReadGifFrames(corpora);
  std::vector<std::string> files;
  ListFiles(corpora, "", files);

  std::map<std::string, Tally> tallies;
  std::vector<std::string> failures;
  std::vector<std::string> outOfReach;
  double slowest = 0;
  std::string slowestFile;
  long largest = 0;
  std::string largestFile;
  for (const std::string& relative : files) {
    const std::string path = corpora + "/" + relative;
    const std::string format = relative.substr(0, relative.find('/'));
    const Result got = LoadInChild(path, seconds, megabytes);
    Tally& tally = tallies[format];
    tally.counts[static_cast<int>(got.outcome)]++;
    if (got.outcome == Outcome::Loaded && got.route == 2) tally.byFallback++;
    if (got.seconds > slowest) slowest = got.seconds, slowestFile = relative;
    if (got.rssKb > largest) largest = got.rssKb, largestFile = relative;

    char line[512];
    std::snprintf(line, sizeof line, "%-11s %5dx%-5d %2d %s %6.2f s cpu %6.2f s wall %7ld kB  %s",
                  OutcomeNames[static_cast<int>(got.outcome)], got.width, got.height, got.depth,
                  got.route == 2 ? "fallback" : got.route == 1 ? "store   " : "        ", got.seconds,
                  got.wallSeconds, got.rssKb, relative.c_str());
    if (verbose) std::printf("%s\n", line);
    if (got.outcome != Outcome::Loaded && got.outcome != Outcome::Refused) {
      failures.push_back(std::string(line) +
                         (got.signal != 0 ? "  (signal " + std::to_string(got.signal) + ")" : ""));
      continue;
    }

    const ValidRule* rule = nullptr;
    for (const ValidRule& r : ValidRules) {
      if (fnmatch(r.pattern, relative.c_str(), 0) == 0) {
        rule = &r;
        break;
      }
    }
    if (rule == nullptr || rule->verdict != Verdict::Valid) continue;
    auto found = references.find(relative);
    const References refs = found != references.end() ? found->second : References{};
    int width = rule->width;
    int height = rule->height;
    if (width == 0) {
      const std::string why = OutOfReach(relative, path, refs, gifFrames);
      if (!why.empty()) {
        tally.validOutOfReach++;
        outOfReach.push_back(relative + ": " + why + " (" + OutcomeNames[static_cast<int>(got.outcome)] + ")");
        continue;
      }
      const bool ownLibrary = format == "png" || format == "jpeg" || format == "j2k" || format == "tiff";
      width = ownLibrary ? refs.library.width : refs.pixbuf.width;
      height = ownLibrary ? refs.library.height : refs.pixbuf.height;
    }
    tally.valid++;
    if (got.outcome == Outcome::Loaded && got.width == width && got.height == height) {
      tally.validAtSize++;
    } else {
      failures.push_back(std::string(line) + "  (valid: expected " + std::to_string(width) + "x" +
                         std::to_string(height) + ")");
    }
  }

  std::printf("%zu files, limits %d s of processor time and %ld MB per file\n", files.size(), seconds,
              megabytes);
  std::printf("%-6s %6s %7s %8s %7s %7s %9s %11s   %s\n", "format", "files", "loaded",
              "fallback", "refused", "crashed", "over time", "over memory", "valid at size");
  for (const auto& [format, t] : tallies) {
    int total = 0;
    for (int c : t.counts) total += c;
    std::printf("%-6s %6d %7d %8d %7d %7d %9d %11d   %d/%d (%d more valid out of reach)\n",
                format.c_str(), total, t.counts[0], t.byFallback, t.counts[1], t.counts[2],
                t.counts[3], t.counts[4], t.validAtSize, t.valid, t.validOutOfReach);
  }
  std::printf("slowest %.2f s of processor time (%s); largest resident size %ld kB (%s)\n", slowest,
              slowestFile.c_str(), largest, largestFile.c_str());
  if (verbose) {
    std::printf("valid files out of reach by design:\n");
    for (const std::string& line : outOfReach) std::printf("  %s\n", line.c_str());
  }
  if (!failures.empty()) {
    std::printf("FAILURES:\n");
    for (const std::string& line : failures) std::printf("  %s\n", line.c_str());
    return 1;
  }
  return 0;
}
