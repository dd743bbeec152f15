// SPDX-License-Identifier: MIT
// The store's file load: one read of the whole file, then the built-in readers or the registry.
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/readers.h"

namespace {

std::mutex RegistryLock;
std::vector<const ImageDecoder*> Registry;

std::vector<const ImageDecoder*> RegisteredDecoders() {
  std::lock_guard<std::mutex> hold(RegistryLock);
  return Registry;
}

struct StoreTarget {
  int number;
};

std::uint32_t* MakeStoreImage(void* context, int width, int height, int depth) {
  int number = static_cast<StoreTarget*>(context)->number;
  if (!CreateImage(number, width, height, depth)) return nullptr;
  ImageWords words = AccessImage(number);
  if (words.words == nullptr || words.width != width || words.height != height) {
    FreeImage(number);
    return nullptr;
  }
  return words.words;
}

bool Plausible(const DecoderState& st) {
  return st.width >= 1 && st.width <= ImageMaxSide && st.height >= 1 &&
         st.height <= ImageMaxSide && (st.depth == 24 || st.depth == 32);
}

// Probe, decode, release. Once a probe has accepted, its outcome is the load's outcome.
bool DecodeThrough(const ImageDecoder& decoder, int number, const DecoderState& accepted) {
  DecoderState st = accepted;
  bool made = false;
  if (Plausible(st) && CreateImage(number, st.width, st.height, st.depth)) {
    ImageWords words = AccessImage(number);
    made = words.words != nullptr && decoder.decode(st, words.words, words.width * 4);
    if (!made) FreeImage(number);
  }
  if (decoder.release != nullptr) decoder.release(st);
  return made;
}

}  // namespace

void RegisterImageDecoder(const ImageDecoder* decoder) {
  if (decoder == nullptr || decoder->probe == nullptr || decoder->decode == nullptr) return;
  std::lock_guard<std::mutex> hold(RegistryLock);
  for (const ImageDecoder* known : Registry) {
    if (known == decoder) return;
  }
  Registry.push_back(decoder);
}

const ImageDecoder* FindImageDecoder(const char* name) {
  if (name == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(RegistryLock);
  for (const ImageDecoder* known : Registry) {
    if (known->name != nullptr && std::strcmp(known->name, name) == 0) return known;
  }
  return nullptr;
}

bool LoadImageMemory(int number, const unsigned char* data, std::size_t size) {
  FreeImage(number);
  if (data == nullptr) size = 0;
  StoreTarget store{number};
  PixelTarget target{MakeStoreImage, &store};

  if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
    if (ReadBmpImage(data, size, target)) return true;
    FreeImage(number);
    return false;
  }
  // An icon directory that yields no icon leaves the decoders their turn.
  if (IsIconDirectory(data, size)) {
    if (ReadIconImage(data, size, target)) return true;
    FreeImage(number);
  }
  for (const ImageDecoder* decoder : RegisteredDecoders()) {
    DecoderState st{};
    if (!decoder->probe(data, size, st)) continue;
    return DecodeThrough(*decoder, number, st);
  }
  return false;
}

bool LoadImageFile(int number, const std::string& path) {
  FileBlock bytes;
  if (!ReadWholeFile(path, bytes)) {
    FreeImage(number);
    return false;
  }
  bool loaded = LoadImageMemory(number, bytes.data.get(), bytes.size);
  bytes = FileBlock{};  // the block goes before the answer, whatever it is
  return loaded;
}
