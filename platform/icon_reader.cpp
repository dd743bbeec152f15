// SPDX-License-Identifier: MIT
// The store's own icon reader: one entry of an icon file made into an ordinary picture.
#include <cstdint>
#include <cstring>

#include "platform/readers.h"

namespace {

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::size_t DirectorySize = 6;
constexpr std::size_t EntrySize = 16;
const unsigned char PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

int Side(unsigned char stored) { return stored == 0 ? 256 : stored; }

// Icons store PNG entries whole; the registered PNG decoder reads them.
bool ReadPngEntry(const unsigned char* entry, std::size_t length, const PixelTarget& target) {
  const ImageDecoder* png = FindImageDecoder("PNG");
  if (png == nullptr) return false;
  DecoderState st{};
  if (!png->probe(entry, length, st)) return false;
  bool ok = false;
  if (st.width >= 1 && st.width <= ImageMaxSide && st.height >= 1 && st.height <= ImageMaxSide &&
      (st.depth == 24 || st.depth == 32)) {
    std::uint32_t* words = target.make(target.context, st.width, st.height, st.depth);
    ok = words != nullptr && png->decode(st, words, st.width * 4);
  }
  if (png->release != nullptr) png->release(st);
  return ok;
}

// A 32-bit entry without any alpha of its own takes its transparency from the AND mask (set bits
// are transparent). A mask cut short leaves the picture opaque.
void ApplyMask(const DibResult& dib, const unsigned char* entry, std::size_t length) {
  const std::size_t count = static_cast<std::size_t>(dib.width) * dib.height;
  std::uint32_t any = 0;
  for (std::size_t i = 0; i < count; ++i) any |= dib.words[i];
  if ((any >> 24) != 0) return;
  const std::uint64_t stride = ((static_cast<std::uint64_t>(dib.width) + 31) / 32) * 4;
  const bool whole = dib.bitsEnd <= length && length - dib.bitsEnd >= stride * dib.height;
  for (int y = 0; y < dib.height; ++y) {
    std::uint32_t* row = dib.words + static_cast<std::size_t>(dib.height - 1 - y) * dib.width;
    const unsigned char* mask = whole ? entry + dib.bitsEnd + stride * y : nullptr;
    for (int x = 0; x < dib.width; ++x) {
      bool clear = mask != nullptr && ((mask[x >> 3] >> (7 - (x & 7))) & 1) != 0;
      if (!clear) row[x] |= 0xFF000000u;
    }
  }
}

}  // namespace

bool IsIconDirectory(const unsigned char* data, std::size_t size) {
  return data != nullptr && size >= DirectorySize && U16(data) == 0 && U16(data + 2) == 1 &&
         U16(data + 4) >= 1;
}

bool ReadIconImage(const unsigned char* data, std::size_t size, const PixelTarget& target) {
  if (!IsIconDirectory(data, size)) return false;
  const std::size_t count = U16(data + 4);
  if ((size - DirectorySize) / EntrySize < count) return false;

  // Among the entries of the first entry's size, the one with the most bits per pixel; the
  // earliest wins a tie.
  const unsigned char* first = data + DirectorySize;
  const unsigned char* chosen = first;
  for (std::size_t i = 1; i < count; ++i) {
    const unsigned char* e = first + i * EntrySize;
    if (Side(e[0]) == Side(first[0]) && Side(e[1]) == Side(first[1]) && U16(e + 6) > U16(chosen + 6))
      chosen = e;
  }
  const std::uint32_t length = U32(chosen + 8);
  const std::uint32_t offset = U32(chosen + 12);
  if (offset > size || length > size - offset || length < 8) return false;
  const unsigned char* entry = data + offset;

  if (std::memcmp(entry, PngSignature, sizeof PngSignature) == 0)
    return ReadPngEntry(entry, length, target);

  DibResult dib;
  if (!ReadDib(entry, length, 0, 0, true, target, dib)) return false;
  if (dib.depth == 32) ApplyMask(dib, entry, length);
  return true;
}
