// SPDX-License-Identifier: MIT
// Fuzz target: the store's own icon reader, with the PNG decoder registered for PNG entries.
#include <cstddef>
#include <cstdint>

#include "fuzz/reader_target.h"
#include "shell/acquisition.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RegisterPngDecoder();
  CheckedPicture picture;
  if (ReadIconImage(data, size, picture.Target())) picture.CheckRead();
  return 0;
}
