// SPDX-License-Identifier: MIT
// Fuzz target: the store's own BMP reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz/reader_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckedPicture picture;
  if (ReadBmpImage(data, size, picture.Target())) picture.CheckRead();
  return 0;
}
