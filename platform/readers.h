// SPDX-License-Identifier: MIT
// The image store's own readers (BMP, icon) and the registry look-up they share with the file load.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Where a built-in reader puts its picture. `make` is asked at most once, after every header check,
// with 1..ImageMaxSide x 1..ImageMaxSide and depth 24 or 32; it answers the zeroed words (rows
// top-down, stride width * 4 bytes) or null when no picture can be had.
struct PixelTarget {
  std::uint32_t* (*make)(void* context, int width, int height, int depth);
  void* context;
};

// Reads a whole BMP file (it begins with "BM"). False when the data is refused or `make` fails;
// the picture `make` handed out is then incomplete and the caller throws it away.
bool ReadBmpImage(const unsigned char* data, std::size_t size, const PixelTarget& target);

// True when the data begins with an icon directory: words 0 and 1, then at least one entry.
bool IsIconDirectory(const unsigned char* data, std::size_t size);

// Reads the chosen entry of an icon file into an ordinary picture. Same contract as ReadBmpImage.
bool ReadIconImage(const unsigned char* data, std::size_t size, const PixelTarget& target);

// The registered decoder of that name, or null. Any thread, after start-up's registrations.
const ImageDecoder* FindImageDecoder(const char* name);

// What ReadDib made: the picture's words (from `make`), size, depth and where the colour bits end.
struct DibResult {
  std::uint32_t* words = nullptr;
  int width = 0;
  int height = 0;
  int depth = 0;
  std::uint64_t bitsEnd = 0;
};

// Reads the device-independent bitmap whose info header starts at offset `info` of the block.
// A file's pixel bits lie at `bitsOffset`; an icon's (`icon` true) follow its colour table, and its
// header height counts the colour rows and the mask rows. Every read stays inside the block.
bool ReadDib(const unsigned char* block, std::size_t size, std::size_t info, std::size_t bitsOffset,
             bool icon, const PixelTarget& target, DibResult& result);
