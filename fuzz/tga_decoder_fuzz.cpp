// SPDX-License-Identifier: MIT
// Fuzz target: the registered TGA decoder's probe, decode and release, as the store calls them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/readers.h"
#include "shell/acquisition.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RegisterTgaDecoder();
  const ImageDecoder* tga = FindImageDecoder("TGA");
  if (tga == nullptr) __builtin_trap();
  DecoderState st{};
  if (!tga->probe(data, size, st)) {
    if (st.state != nullptr) __builtin_trap();  // a declining probe keeps nothing
    return 0;
  }
  if (st.width < 1 || st.width > ImageMaxSide || st.height < 1 || st.height > ImageMaxSide ||
      (st.depth != 24 && st.depth != 32))
    __builtin_trap();
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(st.width) * st.height);
  const bool decoded = tga->decode(st, pixels.data(), st.width * 4);
  if (decoded && st.depth == 24) {
    for (std::uint32_t w : pixels)
      if ((w >> 24) != 0) __builtin_trap();
  }
  tga->release(st);
  return 0;
}
