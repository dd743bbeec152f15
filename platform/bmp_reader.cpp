// SPDX-License-Identifier: MIT
// The store's own BMP reader: device-independent bitmaps of 1 to 32 bits, RLE, bit fields.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "platform/readers.h"

namespace {

constexpr std::uint32_t CompressionRgb = 0;
constexpr std::uint32_t CompressionRle8 = 1;
constexpr std::uint32_t CompressionRle4 = 2;
constexpr std::uint32_t CompressionBitFields = 3;
constexpr std::uint32_t CompressionAlphaBitFields = 6;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// One colour channel held in a bit mask of a 16- or 32-bit pixel, scaled to 0..255.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint32_t maximum = 0;

  bool Set(std::uint32_t m) {
    mask = m;
    if (m == 0) return true;
    shift = std::countr_zero(m);
    std::uint64_t field = static_cast<std::uint64_t>(m) >> shift;
    if ((field & (field + 1)) != 0) return false;  // holes in the mask
    maximum = static_cast<std::uint32_t>(field);
    return true;
  }
  std::uint32_t Take(std::uint32_t pixel) const {
    if (mask == 0) return 0;
    std::uint64_t v = (pixel & mask) >> shift;
    if (maximum == 255) return static_cast<std::uint32_t>(v);
    return static_cast<std::uint32_t>((v * 255 + maximum / 2) / maximum);
  }
};

struct Layout {
  std::int64_t width = 0;
  std::int64_t height = 0;  // rows, always positive here
  bool topDown = false;
  int bitsPerPixel = 0;
  std::uint32_t compression = 0;
  std::uint32_t palette[256] = {};
  int paletteCount = 0;
  bool bitFields = false;
  Channel red, green, blue, alpha;
};

inline std::uint32_t Word(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t a) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}

// Uncompressed rows, `bits` .. `end`; false for an index outside the palette.
bool ReadPlainRows(const Layout& dib, const unsigned char* bits, std::uint64_t stride,
                   std::uint32_t* words) {
  const std::int64_t w = dib.width;
  for (std::int64_t row = 0; row < dib.height; ++row) {
    const unsigned char* src = bits + static_cast<std::uint64_t>(row) * stride;
    std::int64_t y = dib.topDown ? row : dib.height - 1 - row;
    std::uint32_t* out = words + y * w;
    switch (dib.bitsPerPixel) {
      case 1:
      case 4:
      case 8: {
        const int bpp = dib.bitsPerPixel;
        const int perByte = 8 / bpp;
        const unsigned mask = (1u << bpp) - 1;
        for (std::int64_t x = 0; x < w; ++x) {
          unsigned byte = src[x / perByte];
          unsigned index = (byte >> (8 - bpp * (1 + x % perByte))) & mask;
          if (static_cast<int>(index) >= dib.paletteCount) return false;
          out[x] = dib.palette[index];
        }
        break;
      }
      case 16:
        for (std::int64_t x = 0; x < w; ++x) {
          std::uint32_t p = U16(src + 2 * x);
          out[x] = Word(dib.red.Take(p), dib.green.Take(p), dib.blue.Take(p), 0);
        }
        break;
      case 24:
        for (std::int64_t x = 0; x < w; ++x) {
          const unsigned char* p = src + 3 * x;
          out[x] = Word(p[2], p[1], p[0], 0);
        }
        break;
      case 32:
        for (std::int64_t x = 0; x < w; ++x) {
          std::uint32_t p = U32(src + 4 * x);
          out[x] = dib.bitFields ? Word(dib.red.Take(p), dib.green.Take(p), dib.blue.Take(p),
                                        dib.alpha.Take(p))
                                 : p;
        }
        break;
      default:
        return false;
    }
  }
  return true;
}

// Run-length rows (bottom-up). Runs past the end of a row are clipped to the row; data that ends
// before the last row is refused, as is an index outside the palette.
bool ReadRunRows(const Layout& dib, const unsigned char* p, const unsigned char* end,
                 std::uint32_t* words) {
  const bool four = dib.compression == CompressionRle4;
  std::int64_t x = 0;
  std::int64_t y = 0;  // counted from the bottom row
  auto put = [&](unsigned index) {
    if (static_cast<int>(index) >= dib.paletteCount) return false;
    if (x < dib.width && y < dib.height) words[(dib.height - 1 - y) * dib.width + x] = dib.palette[index];
    ++x;
    return true;
  };
  while (y < dib.height) {
    if (end - p < 2) return false;
    unsigned count = p[0];
    unsigned value = p[1];
    p += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i) {
        unsigned index = four ? ((i & 1) ? (value & 15) : (value >> 4)) : value;
        if (!put(index)) return false;
      }
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap: the rest stays black
      return true;
    } else if (value == 2) {  // move right and up
      if (end - p < 2) return false;
      x += p[0];
      y += p[1];
      p += 2;
    } else {  // literal pixels, padded to a 16-bit boundary
      std::size_t bytes = four ? (value + 1) / 2 : value;
      if (static_cast<std::size_t>(end - p) < bytes) return false;
      for (unsigned i = 0; i < value; ++i) {
        unsigned index = four ? ((i & 1) ? (p[i / 2] & 15) : (p[i / 2] >> 4)) : p[i];
        if (!put(index)) return false;
      }
      std::size_t padded = bytes + (bytes & 1);
      p += padded <= static_cast<std::size_t>(end - p) ? padded : bytes;
    }
  }
  return true;
}

}  // namespace

bool ReadDib(const unsigned char* block, std::size_t size, std::size_t info, std::size_t bitsOffset,
             bool icon, const PixelTarget& target, DibResult& result) {
  result = DibResult{};
  if (info > size || size - info < 4) return false;
  const unsigned char* h = block + info;
  const std::uint32_t headerSize = U32(h);
  const std::size_t room = size - info;
  Layout dib;
  std::int64_t rawHeight = 0;
  std::size_t paletteEntry = 4;
  std::uint32_t coloursUsed = 0;
  std::size_t afterHeader = 0;

  if (headerSize == 12) {  // OS/2 1.x core header: 16-bit sizes, three-byte palette
    if (room < 12) return false;
    dib.width = U16(h + 4);
    rawHeight = U16(h + 6);
    dib.bitsPerPixel = U16(h + 10);
    paletteEntry = 3;
    afterHeader = info + 12;
  } else if (headerSize == 16 || headerSize == 40 || headerSize == 52 || headerSize == 56 ||
             headerSize == 64 || headerSize == 108 || headerSize == 124) {
    if (room < headerSize) return false;
    unsigned char full[124] = {};
    std::memcpy(full, h, headerSize);
    dib.width = static_cast<std::int32_t>(U32(full + 4));
    rawHeight = static_cast<std::int32_t>(U32(full + 8));
    dib.bitsPerPixel = U16(full + 14);
    dib.compression = U32(full + 16);
    coloursUsed = U32(full + 32);
    // OS/2 2.x headers use 3 and 4 for Huffman and 24-bit RLE, which this reader does not take.
    if (headerSize == 16 || headerSize == 64) {
      if (dib.compression != CompressionRgb && dib.compression != CompressionRle8 &&
          dib.compression != CompressionRle4)
        return false;
    }
    afterHeader = info + headerSize;
    if (dib.compression == CompressionBitFields || dib.compression == CompressionAlphaBitFields) {
      std::uint32_t masks[4] = {};
      if (headerSize >= 52) {
        masks[0] = U32(full + 40);
        masks[1] = U32(full + 44);
        masks[2] = U32(full + 48);
        if (headerSize >= 56) masks[3] = U32(full + 52);
      } else {
        std::size_t count = dib.compression == CompressionAlphaBitFields ? 4 : 3;
        if (afterHeader > size || size - afterHeader < count * 4) return false;
        for (std::size_t i = 0; i < count; ++i) masks[i] = U32(block + afterHeader + 4 * i);
        afterHeader += count * 4;
      }
      // Stored red, green, blue, then alpha.
      if (!dib.red.Set(masks[0]) || !dib.green.Set(masks[1]) || !dib.blue.Set(masks[2]) ||
          !dib.alpha.Set(masks[3]))
        return false;
      dib.bitFields = true;
    }
  } else {
    return false;
  }

  // Sizes: never zero, never above what the store holds; a negative height means top-down.
  if (rawHeight < 0) {
    if (icon || headerSize == 12) return false;
    dib.topDown = true;
    rawHeight = -rawHeight;
  }
  if (icon) rawHeight /= 2;  // colour rows, then as many mask rows
  dib.height = rawHeight;
  if (dib.width < 1 || dib.width > ImageMaxSide || dib.height < 1 || dib.height > ImageMaxSide)
    return false;

  switch (dib.compression) {
    case CompressionRgb:
      if (dib.bitsPerPixel != 1 && dib.bitsPerPixel != 4 && dib.bitsPerPixel != 8 &&
          dib.bitsPerPixel != 16 && dib.bitsPerPixel != 24 && dib.bitsPerPixel != 32)
        return false;
      if (dib.bitsPerPixel == 16) {
        dib.red.Set(0x7C00);
        dib.green.Set(0x03E0);
        dib.blue.Set(0x001F);
      }
      break;
    case CompressionRle8:
    case CompressionRle4:
      if (icon || dib.topDown) return false;
      if (dib.bitsPerPixel != (dib.compression == CompressionRle8 ? 8 : 4)) return false;
      break;
    case CompressionBitFields:
    case CompressionAlphaBitFields:
      if (dib.bitsPerPixel != 16 && dib.bitsPerPixel != 32) return false;
      break;
    default:
      return false;
  }

  // Colour table.
  const std::size_t paletteStart = afterHeader;
  if (dib.bitsPerPixel <= 8) {
    std::int64_t full = std::int64_t{1} << dib.bitsPerPixel;
    std::int64_t count = coloursUsed == 0 ? full : std::min<std::int64_t>(coloursUsed, full);
    if (!icon && coloursUsed == 0 && bitsOffset > paletteStart) {
      // Old files carry only the entries that fit before the pixels.
      count = std::min<std::int64_t>(count, (bitsOffset - paletteStart) / paletteEntry);
    }
    if (count < 1) return false;
    if (paletteStart > size || (size - paletteStart) / paletteEntry < static_cast<std::uint64_t>(count))
      return false;
    for (std::int64_t i = 0; i < count; ++i) {
      const unsigned char* e = block + paletteStart + i * paletteEntry;
      dib.palette[i] = Word(e[2], e[1], e[0], 0);
    }
    dib.paletteCount = static_cast<int>(count);
    if (icon) {
      std::int64_t stored = coloursUsed == 0 ? full : static_cast<std::int64_t>(coloursUsed);
      if (stored > 256) return false;
      bitsOffset = paletteStart + static_cast<std::size_t>(stored) * paletteEntry;
    }
  } else if (icon) {
    bitsOffset = paletteStart + (coloursUsed <= 256 ? coloursUsed * paletteEntry : 0);
  }
  // An offset into the headers or the colour table is never right; the bits then follow the table.
  if (!icon) {
    const std::size_t tableEnd = paletteStart + static_cast<std::size_t>(dib.paletteCount) * paletteEntry;
    if (bitsOffset < tableEnd) bitsOffset = tableEnd;
  }
  if (bitsOffset > size) return false;

  const std::uint64_t stride = ((static_cast<std::uint64_t>(dib.width) * dib.bitsPerPixel + 31) / 32) * 4;
  const std::uint64_t available = size - bitsOffset;
  std::uint64_t bitsEnd = 0;
  if (dib.compression == CompressionRle8 || dib.compression == CompressionRle4) {
    // Runs can say "255 pixels" in two bytes, no more; far larger pictures are not real files.
    std::uint64_t pixels = static_cast<std::uint64_t>(dib.width) * dib.height;
    if (pixels > 65536 + 512 * available) return false;
    bitsEnd = size;
  } else {
    // Every row whole; only the last row's padding may be missing.
    std::uint64_t lastRow = (static_cast<std::uint64_t>(dib.width) * dib.bitsPerPixel + 7) / 8;
    std::uint64_t need = stride * (dib.height - 1) + lastRow;
    if (need > available) return false;
    bitsEnd = bitsOffset + stride * dib.height;
  }

  std::uint32_t* words = target.make(target.context, static_cast<int>(dib.width),
                                     static_cast<int>(dib.height), dib.bitsPerPixel == 32 ? 32 : 24);
  if (words == nullptr) return false;
  bool ok = (dib.compression == CompressionRle8 || dib.compression == CompressionRle4)
                ? ReadRunRows(dib, block + bitsOffset, block + size, words)
                : ReadPlainRows(dib, block + bitsOffset, stride, words);
  if (!ok) return false;
  result.words = words;
  result.width = static_cast<int>(dib.width);
  result.height = static_cast<int>(dib.height);
  result.depth = dib.bitsPerPixel == 32 ? 32 : 24;
  result.bitsEnd = bitsEnd;
  return true;
}

bool ReadBmpImage(const unsigned char* data, std::size_t size, const PixelTarget& target) {
  if (data == nullptr || size < 14 + 12 || data[0] != 'B' || data[1] != 'M') return false;
  DibResult dib;
  if (!ReadDib(data, size, 14, U32(data + 10), false, target, dib)) return false;
  if (dib.depth == 32) {
    // A 32-bit file that leaves every fourth byte 0 has no alpha: show it opaque.
    const std::size_t count = static_cast<std::size_t>(dib.width) * dib.height;
    std::uint32_t any = 0;
    for (std::size_t i = 0; i < count; ++i) any |= dib.words[i];
    if ((any >> 24) == 0) {
      for (std::size_t i = 0; i < count; ++i) dib.words[i] |= 0xFF000000u;
    }
  }
  return true;
}
