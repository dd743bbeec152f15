// SPDX-License-Identifier: MIT
// nimbrel-cli: loads stereograms through the image store and decoders, runs the search, difference
// and stretch, and writes each revealed picture as an 8-bit RGB PNG.
#include <png.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "platform/platform.h"
#include "shell/acquisition.h"
#include "shell/picture_fallback.h"

namespace {

bool ErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) == 1;
#endif
}

constexpr const char* Usage =
    "Usage: nimbrel-cli [options] FILE...\n"
    "Finds the repeat width of each autostereogram, subtracts from every pixel the pixel one\n"
    "repeat width to its right, stretches the levels and writes the result as an RGB PNG.\n"
    "\n"
    "Options:\n"
    "  -o FILE             write the result of the single input FILE to this PNG\n"
    "  -d DIR              write each result to DIR/<input name without extension>.png\n"
    "  --repeat-width N    use N pixels instead of searching for the repeat width\n"
    "  --no-stretch        write the difference image without the level stretch\n"
    "  --json              print one JSON object per input on standard output\n"
    "  --scores FILE.csv   write file, shift, sum and score of every searched candidate\n"
    "  --help              show this help and exit\n"
    "  --version           show the version and exit\n"
    "\n"
    "Exit status: 0 when every input was decoded, 1 when some could not be, 2 for bad usage.\n";

struct Options {
  std::string output;       // -o
  std::string directory;    // -d
  int repeatWidth = -1;     // --repeat-width; -1: search
  bool stretch = true;
  bool json = false;
  std::string scoresPath;   // --scores
  std::vector<std::string> files;
};

std::string NamePart(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Stem(const std::string& path) {
  const std::string name = NamePart(path);
  const std::size_t dot = name.find_last_of('.');
  return (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string FloatText(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

// Writes width x height pixel words as 8-bit RGB; the top byte is dropped, not taken as alpha.
// libpng's error path jumps back here; nothing with a destructor lives across the jump.
bool WritePng(const char* path, const PixelWord* pixels, int width, int height) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    std::remove(path);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  // The words are blue, green, red, top byte in memory: swap to RGB and strip the fourth byte.
  png_set_bgr(png);
  png_set_filler(png, 0, PNG_FILLER_AFTER);
  for (int y = 0; y < height; ++y) {
    png_write_row(png, reinterpret_cast<png_const_bytep>(pixels + static_cast<std::size_t>(y) * width));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

struct ProgressLine {
  std::string name;
  int first;
  int last;
  int shown;
};

void DrawProgress(int shift, void* context) {
  auto* line = static_cast<ProgressLine*>(context);
  const int percent = CandidatePercent(shift, line->first, line->last);
  if (percent == line->shown) return;
  line->shown = percent;
  char bar[41];
  const int filled = percent * 40 / 100;
  for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
  bar[40] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%%", line->name.c_str(), bar, percent);
  std::fflush(stderr);
}

bool ParseCount(const char* text, int& value) {
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < 0 || parsed > ImageMaxSide) return false;
  value = static_cast<int>(parsed);
  return true;
}

// 0: run; 1: stop with status 0 (help, version); 2: bad usage, already reported.
int ParseOptions(int argc, char** argv, Options& options) {
  bool onlyFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "nimbrel-cli: %s needs %s\n", arg.c_str(), what);
        return nullptr;
      }
      return argv[++i];
    };
    if (onlyFiles || arg.empty() || arg[0] != '-' || arg == "-") {
      options.files.push_back(arg);
    } else if (arg == "--") {
      onlyFiles = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(Usage, stdout);
      return 1;
    } else if (arg == "--version") {
      std::printf("nimbrel-cli %s\n", NIMBREL_VERSION);
      return 1;
    } else if (arg == "-o") {
      const char* v = value("a file name");
      if (v == nullptr) return 2;
      options.output = v;
    } else if (arg == "-d") {
      const char* v = value("a directory");
      if (v == nullptr) return 2;
      options.directory = v;
    } else if (arg == "--scores") {
      const char* v = value("a file name");
      if (v == nullptr) return 2;
      options.scoresPath = v;
    } else if (arg == "--repeat-width") {
      const char* v = value("a number");
      if (v == nullptr) return 2;
      if (!ParseCount(v, options.repeatWidth)) {
        std::fprintf(stderr, "nimbrel-cli: --repeat-width needs a whole number from 0 to %d, not '%s'\n",
                     ImageMaxSide, v);
        return 2;
      }
    } else if (arg == "--no-stretch") {
      options.stretch = false;
    } else if (arg == "--json") {
      options.json = true;
    } else {
      std::fprintf(stderr, "nimbrel-cli: unknown option '%s'\n", arg.c_str());
      return 2;
    }
  }
  if (options.files.empty()) {
    std::fprintf(stderr, "nimbrel-cli: no input file\n");
    return 2;
  }
  if (!options.output.empty() && !options.directory.empty()) {
    std::fprintf(stderr, "nimbrel-cli: -o and -d exclude each other\n");
    return 2;
  }
  if (!options.output.empty() && options.files.size() != 1) {
    std::fprintf(stderr, "nimbrel-cli: -o takes exactly one input; use -d for several\n");
    return 2;
  }
  return 0;
}

// Decodes one file; false when it could not be (the reason is already on stderr).
bool DecodeFile(const Options& options, const std::string& path, std::set<std::string>& written,
                std::FILE* scores) {
  const std::string name = NamePart(path);
  if (QueryFileSize(path) == -1) {
    std::fprintf(stderr, "The file '%s' does not exist.\n", name.c_str());
    return false;
  }
  if (!LoadImageFile(0, path) && LoadPictureFallback(0, path) == 0) {
    std::fprintf(stderr, "The file '%s' does not appear to be a valid image.\n", name.c_str());
    return false;
  }
  const int width = ImageWidth(0);
  const int height = ImageHeight(0);
  const int depth = ImageDepth(0);
  std::vector<PixelWord> source(static_cast<std::size_t>(width) * height);
  ReadPixels(0, source.data());
  FreeImage(0);

  int repeat = options.repeatWidth;
  bool found = false;
  float score = -1.0f;
  if (repeat < 0) {
    const bool terminal = ErrorIsTerminal();
    ProgressLine line{name, width >> 4, width >> 2, -1};
    const RepeatSearch search =
        SearchRepeatWidth(source.data(), width, height, ShippedSearchKernel(), HardwareThreads(),
                          terminal ? DrawProgress : nullptr, &line);
    if (terminal) std::fputs("\r\033[K", stderr);
    if (scores != nullptr) {
      for (int s = search.first; s <= search.last; ++s) {
        const std::int64_t sum = search.sums[static_cast<std::size_t>(s - search.first)];
        std::fprintf(scores, "%s,%d,%lld,%s\n", CsvField(path).c_str(), s,
                     static_cast<long long>(sum), FloatText(ShiftScore(sum, width, height, s)).c_str());
      }
    }
    found = search.shift >= 0;
    repeat = found ? search.shift : 0;
    score = search.score;
    if (!found)
      std::fprintf(stderr, "nimbrel-cli: %s: no repeat width found; using 0\n", name.c_str());
  } else if (repeat >= width) {
    std::fprintf(stderr, "nimbrel-cli: %s: repeat width %d leaves nothing of an image %d pixels wide\n",
                 name.c_str(), repeat, width);
    return false;
  }

  const int outWidth = width - repeat;
  std::vector<PixelWord> result(static_cast<std::size_t>(outWidth) * height);
  DifferencePixels(source.data(), width, height, repeat, result.data());
  source = std::vector<PixelWord>();
  if (options.stretch) StretchPixels(result.data(), outWidth * height);

  std::string output = options.output;
  if (!options.directory.empty()) {
    output = (std::filesystem::path(options.directory) / (Stem(path) + ".png")).string();
    if (!written.insert(output).second) {
      std::fprintf(stderr, "nimbrel-cli: %s: %s was already written for an earlier input\n",
                   name.c_str(), output.c_str());
      return false;
    }
  }
  if (!output.empty() && !WritePng(output.c_str(), result.data(), outWidth, height)) {
    std::fprintf(stderr, "nimbrel-cli: %s: cannot write %s\n", name.c_str(), output.c_str());
    return false;
  }
  if (options.json) {
    std::printf("{\"file\":%s,\"width\":%d,\"height\":%d,\"depth\":%d,\"repeat_width\":%d,"
                "\"score\":%s,\"output\":%s}\n",
                JsonString(path).c_str(), width, height, depth, repeat,
                found ? FloatText(score).c_str() : "null",
                output.empty() ? "null" : JsonString(output).c_str());
    std::fflush(stdout);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // JSON lines, messages and the score curve end lines with LF on every system.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  Options options;
  const int parsed = ParseOptions(argc, argv, options);
  if (parsed == 1) return 0;
  if (parsed == 2) {
    std::fputs("Try 'nimbrel-cli --help'.\n", stderr);
    return 2;
  }
  if (!options.directory.empty()) {
    std::error_code error;
    std::filesystem::create_directories(options.directory, error);
    if (error) {
      std::fprintf(stderr, "nimbrel-cli: cannot make directory %s: %s\n", options.directory.c_str(),
                   error.message().c_str());
      return 1;
    }
  }
  std::FILE* scores = nullptr;
  if (!options.scoresPath.empty()) {
    scores = std::fopen(options.scoresPath.c_str(), "wb");
    if (scores == nullptr) {
      std::fprintf(stderr, "nimbrel-cli: cannot write %s: %s\n", options.scoresPath.c_str(),
                   std::strerror(errno));
      return 1;
    }
    std::fputs("file,shift,sum,score\n", scores);
  }

  RegisterImageDecoders();
  int status = 0;
  std::set<std::string> written;
  for (const std::string& path : options.files) {
    try {
      if (!DecodeFile(options, path, written, scores)) status = 1;
    } catch (const std::bad_alloc&) {
      FreeImage(0);
      std::fprintf(stderr, "nimbrel-cli: %s: not enough memory\n", NamePart(path).c_str());
      status = 1;
    }
  }
  if (scores != nullptr && std::fclose(scores) != 0) {
    std::fprintf(stderr, "nimbrel-cli: cannot write %s\n", options.scoresPath.c_str());
    status = 1;
  }
  FreeAllImages();
  return status;
}
