// SPDX-License-Identifier: MIT
// Helpers shared by the test programs.
#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>

#include <random>
#endif

#include "platform/platform.h"

std::string SharedDir() {
  const char* dir = std::getenv("NIMBREL_SHARED");
  struct stat info {};
  if (dir == nullptr || ::stat(dir, &info) != 0 || !S_ISDIR(info.st_mode)) return "";
  return dir;
}

std::string FixturesDir() {
  const char* dir = std::getenv("NIMBREL_FIXTURES");
  return dir == nullptr ? std::string() : std::string(dir);
}

std::string CliProgram() {
  const char* binaryDir = std::getenv("NIMBREL_BINARY_DIR");
#ifdef _WIN32
  const std::string cli = std::string(binaryDir ? binaryDir : ".") + "/cli/nimbrel-cli.exe";
#else
  const std::string cli = std::string(binaryDir ? binaryDir : ".") + "/cli/nimbrel-cli";
#endif
  return std::ifstream(cli).fail() ? std::string() : cli;
}

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/nimbrel-test-XXXXXX";
#ifdef _WIN32
  // No mkdtemp in the Windows C library, and _mktemp's 26 names per process id run out when the
  // ids repeat from run to run (as under wine): random names until one can be made.
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = pattern.substr(0, pattern.size() - 6) + std::to_string(entropy() % 1000000);
    if (_mkdir(name.c_str()) == 0) return name;
  }
  return "";
#else
  char* made = ::mkdtemp(pattern.data());
  return made == nullptr ? std::string() : std::string(made);
#endif
}

bool PutImage(int number, int width, int height, int depth,
              const std::vector<std::uint32_t>& words) {
  if (!CreateImage(number, width, height, depth)) return false;
  ImageWords target = AccessImage(number);
  for (std::size_t i = 0; i < words.size() && i < static_cast<std::size_t>(width) * height; ++i) {
    target.words[i] = depth == 24 ? words[i] & 0x00FFFFFFu : words[i];
  }
  return true;
}

std::vector<std::uint32_t> GetImage(int number) {
  ImageWords image = AccessImage(number);
  if (image.words == nullptr) return {};
  return std::vector<std::uint32_t>(image.words,
                                    image.words + static_cast<std::size_t>(image.width) * image.height);
}

std::string WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}
