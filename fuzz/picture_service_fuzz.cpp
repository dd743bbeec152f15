// SPDX-License-Identifier: MIT
// Fuzz target: the picture service as the fallback uses it: read, ask the extent, draw the whole
// picture upside up into a small 24-bit image.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Picture* picture = LoadPicture(data, size);
  if (picture == nullptr) return 0;
  std::int32_t himetricWidth = 0, himetricHeight = 0;
  GetPictureExtent(picture, himetricWidth, himetricHeight);
  if (himetricWidth <= 0 || himetricHeight <= 0) __builtin_trap();  // a read picture has a size
  // At 96 pixels per inch, capped so that each run stays quick.
  const int width = static_cast<int>(std::clamp<std::int64_t>(std::int64_t{himetricWidth} * 96 / 2540, 1, 64));
  const int height = static_cast<int>(std::clamp<std::int64_t>(std::int64_t{himetricHeight} * 96 / 2540, 1, 64));
  if (CreateImage(0, width, height, 24)) {
    ImageWords target = StartDrawing(0);
    RenderPicture(picture, target, 0, height, width, -height, 0, 0, himetricWidth, himetricHeight);
    StopDrawing(0);
    const ImageWords drawn = AccessImage(0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i)
      if ((drawn.words[i] >> 24) != 0) __builtin_trap();  // a 24-bit image keeps its top byte 0
    FreeImage(0);
  }
  ReleasePicture(picture);
  return 0;
}
