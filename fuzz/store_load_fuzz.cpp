// SPDX-License-Identifier: MIT
// Fuzz target: the whole store load from one byte buffer, every route the program has.
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "shell/acquisition.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RegisterImageDecoders();
  const bool loaded = LoadImageMemory(0, data, size);
  // The answer and the store agree, and a loaded image is one the store can hold.
  if (loaded != ImageExists(0)) __builtin_trap();
  if (loaded) {
    const int depth = ImageDepth(0);
    if (depth != 24 && depth != 32) __builtin_trap();
    if (ImageWidth(0) < 1 || ImageHeight(0) < 1) __builtin_trap();
  }
  FreeImage(0);
  return 0;
}
