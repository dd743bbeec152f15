// SPDX-License-Identifier: MIT
// The numbered image store: creation, queries, smooth resize and direct access to the words.
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

struct NativeImage {
  int width = 0;
  int height = 0;
  int depth = 24;
  std::vector<std::uint32_t> words;
};

namespace {

std::mutex StoreLock;  // guards the table, not the pixels: one thread at a time works on an image
std::map<int, std::unique_ptr<NativeImage>> Images;

NativeImage* FindImage(int number) {
  std::lock_guard<std::mutex> hold(StoreLock);
  auto found = Images.find(number);
  return found == Images.end() ? nullptr : found->second.get();
}

ImageWords WordsOf(NativeImage* image) {
  if (image == nullptr) return ImageWords{nullptr, 0, 0, 0};
  return ImageWords{image->words.data(), image->width, image->height, image->depth};
}

// Area-average weights of a one-dimensional reduction (or enlargement) from `from` to `to`
// samples: for each target sample, the source samples it covers and how much of each.
struct Tap {
  int source;
  float weight;
};
std::vector<std::vector<Tap>> AreaTaps(int from, int to) {
  std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(to));
  const double scale = static_cast<double>(from) / to;
  for (int t = 0; t < to; ++t) {
    double begin = t * scale;
    double end = (t + 1) * scale;
    if (scale < 1.0) {  // enlargement: each target sample lies inside one source sample
      double centre = (t + 0.5) * scale;
      taps[t].push_back({std::min(from - 1, static_cast<int>(centre)), 1.0f});
      continue;
    }
    for (int s = static_cast<int>(begin); s < from && s < end; ++s) {
      double cover = std::min<double>(end, s + 1) - std::max<double>(begin, s);
      if (cover > 1e-9) taps[t].push_back({s, static_cast<float>(cover / scale)});
    }
  }
  return taps;
}

}  // namespace

bool CreateImage(int number, int width, int height, int depth) {
  FreeImage(number);
  if (width < 1 || height < 1 || width > ImageMaxSide || height > ImageMaxSide) return false;
  if (depth != 24 && depth != 32) return false;
  auto image = std::unique_ptr<NativeImage>(new (std::nothrow) NativeImage);
  if (!image) return false;
  try {
    image->words.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0u);
  } catch (const std::bad_alloc&) {
    return false;
  }
  image->width = width;
  image->height = height;
  image->depth = depth;
  std::lock_guard<std::mutex> hold(StoreLock);
  Images[number] = std::move(image);
  return true;
}

void FreeImage(int number) {
  std::unique_ptr<NativeImage> gone;
  std::lock_guard<std::mutex> hold(StoreLock);
  auto found = Images.find(number);
  if (found == Images.end()) return;
  gone = std::move(found->second);
  Images.erase(found);
}

void FreeAllImages() {
  std::lock_guard<std::mutex> hold(StoreLock);
  Images.clear();
}

bool ImageExists(int number) { return FindImage(number) != nullptr; }
int ImageWidth(int number) { return WordsOf(FindImage(number)).width; }
int ImageHeight(int number) { return WordsOf(FindImage(number)).height; }
int ImageDepth(int number) { return WordsOf(FindImage(number)).depth; }
NativeImage* ImageHandle(int number) { return FindImage(number); }
ImageWords AccessImage(int number) { return WordsOf(FindImage(number)); }
ImageWords AccessNativeImage(NativeImage* image) { return WordsOf(image); }
ImageWords StartDrawing(int number) { return WordsOf(FindImage(number)); }
void StopDrawing(int) {
  // Drawing goes straight into the words; nothing to flush.
}

bool ResizeImage(int number, int width, int height) {
  NativeImage* image = FindImage(number);
  if (image == nullptr) return false;
  if (width == image->width && height == image->height) return true;
  if (width < 1 || height < 1 || width > ImageMaxSide || height > ImageMaxSide) return false;
  const int sw = image->width;
  const int sh = image->height;
  try {
    auto across = AreaTaps(sw, width);
    auto down = AreaTaps(sh, height);
    // Horizontal pass into floats (three channels), then vertical pass into the new words.
    std::vector<float> rows(static_cast<std::size_t>(width) * sh * 3);
    for (int y = 0; y < sh; ++y) {
      const std::uint32_t* in = image->words.data() + static_cast<std::size_t>(y) * sw;
      float* out = rows.data() + static_cast<std::size_t>(y) * width * 3;
      for (int x = 0; x < width; ++x) {
        float r = 0, g = 0, b = 0;
        for (const Tap& tap : across[x]) {
          std::uint32_t w = in[tap.source];
          r += tap.weight * ((w >> 16) & 0xFF);
          g += tap.weight * ((w >> 8) & 0xFF);
          b += tap.weight * (w & 0xFF);
        }
        out[3 * x] = r;
        out[3 * x + 1] = g;
        out[3 * x + 2] = b;
      }
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(width) * height);
    const std::uint32_t top = image->depth == 32 ? 0xFF000000u : 0u;  // opaque
    auto channel = [](float v) {
      long rounded = std::lround(v);
      return static_cast<std::uint32_t>(std::clamp<long>(rounded, 0, 255));
    };
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        float r = 0, g = 0, b = 0;
        for (const Tap& tap : down[y]) {
          const float* in = rows.data() + (static_cast<std::size_t>(tap.source) * width + x) * 3;
          r += tap.weight * in[0];
          g += tap.weight * in[1];
          b += tap.weight * in[2];
        }
        words[static_cast<std::size_t>(y) * width + x] =
            top | channel(r) << 16 | channel(g) << 8 | channel(b);
      }
    }
    image->words = std::move(words);
  } catch (const std::bad_alloc&) {
    return false;
  }
  image->width = width;
  image->height = height;
  return true;
}
