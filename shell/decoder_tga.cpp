// SPDX-License-Identifier: MIT
// TGA decoder: true-colour pictures, plain (type 2) or run-length (type 10), of 16, 24 or 32 bits.
#include <cstdint>
#include <new>

#include "platform/platform.h"
#include "shell/acquisition.h"

namespace {

constexpr std::size_t HeaderSize = 18;

struct TgaFile {
  const unsigned char* pixels;  // first pixel byte after the identification field and colour map
  const unsigned char* end;
  int bytesPerPixel;
  bool runLength;
  bool topDown;
};

std::uint32_t Pixel(const unsigned char* p, int bytesPerPixel) {
  switch (bytesPerPixel) {
    case 2: {
      unsigned v = p[0] | (p[1] << 8);
      std::uint32_t b = (v & 31) * 8;
      std::uint32_t g = ((v >> 5) & 31) * 8;
      std::uint32_t r = ((v >> 10) & 31) * 8;
      return (r << 16) | (g << 8) | b;
    }
    case 3:
      return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
    default:
      return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) |
             (std::uint32_t{p[1]} << 8) | p[0];
  }
}

bool ProbeTga(const unsigned char* data, std::size_t size, DecoderState& st) {
  if (data == nullptr || size < HeaderSize) return false;
  const unsigned mapType = data[1];
  const unsigned imageType = data[2];
  const unsigned bits = data[16];
  if (mapType > 1 || (imageType != 2 && imageType != 10)) return false;
  if (bits != 16 && bits != 24 && bits != 32) return false;
  const int width = data[12] | (data[13] << 8);
  const int height = data[14] | (data[15] << 8);
  if (width < 1 || height < 1 || width > ImageMaxSide || height > ImageMaxSide) return false;

  std::uint64_t skip = HeaderSize + data[0];
  if (mapType == 1) {
    std::uint64_t entries = data[5] | (data[6] << 8);
    std::uint64_t entryBits = data[7];
    skip += (entries * entryBits + 7) / 8;
  }
  if (skip > size) return false;
  const int bytesPerPixel = static_cast<int>(bits / 8);
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
  const std::uint64_t left = size - skip;
  // A plain picture must be all there; a run-length one needs at least one packet per 128 pixels.
  const std::uint64_t least = imageType == 2 ? pixels * bytesPerPixel
                                             : (pixels + 127) / 128 * (1 + bytesPerPixel);
  if (left < least) return false;

  auto* file = new (std::nothrow) TgaFile{data + skip, data + size, bytesPerPixel, imageType == 10,
                                          (data[17] & 0x20) != 0};
  if (file == nullptr) return false;
  st.width = width;
  st.height = height;
  st.depth = bits == 32 ? 32 : 24;
  st.state = file;
  return true;
}

bool DecodeTga(DecoderState& st, std::uint32_t* pixels, int stride) {
  const auto* file = static_cast<const TgaFile*>(st.state);
  if (file == nullptr || pixels == nullptr || stride < st.width * 4 || stride % 4 != 0) return false;
  const std::int64_t width = st.width;
  const std::int64_t total = width * st.height;
  const std::int64_t rowWords = stride / 4;
  const int n = file->bytesPerPixel;
  // Pixels arrive in file order; the origin bit says whether the first row is the top or the bottom.
  auto place = [&](std::int64_t index, std::uint32_t word) {
    std::int64_t row = index / width;
    std::int64_t y = file->topDown ? row : st.height - 1 - row;
    pixels[y * rowWords + index % width] = word;
  };
  const unsigned char* p = file->pixels;
  if (!file->runLength) {
    for (std::int64_t i = 0; i < total; ++i, p += n) place(i, Pixel(p, n));
    return true;
  }
  std::int64_t i = 0;
  while (i < total) {
    if (file->end - p < 1) return false;
    const unsigned header = *p++;
    const std::int64_t count = (header & 0x7F) + 1;
    if (count > total - i) return false;  // a packet that runs past the picture
    if (header & 0x80) {
      if (file->end - p < n) return false;
      const std::uint32_t word = Pixel(p, n);
      p += n;
      for (std::int64_t k = 0; k < count; ++k) place(i++, word);
    } else {
      if (file->end - p < count * n) return false;
      for (std::int64_t k = 0; k < count; ++k, p += n) place(i++, Pixel(p, n));
    }
  }
  return true;
}

void ReleaseTga(DecoderState& st) {
  delete static_cast<TgaFile*>(st.state);
  st.state = nullptr;
}

const ImageDecoder TgaDecoder{"TGA", ProbeTga, DecodeTga, ReleaseTga};

}  // namespace

void RegisterTgaDecoder() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  RegisterImageDecoder(&TgaDecoder);
}
