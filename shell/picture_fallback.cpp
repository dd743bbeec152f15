// SPDX-License-Identifier: MIT
// The picture fallback: hands a whole file to the picture service and draws the picture into a new
// 24-bit image sized from its HIMETRIC extent at the desktop's logical density.
#include "shell/picture_fallback.h"

#include "platform/platform.h"

std::int64_t HimetricToPixels(std::int32_t himetric, int density) {
  return std::int64_t{himetric} * density / 2540;
}

int LoadPictureFallback(int number, const std::string& path) {
  FileBlock block;
  // A short read counts as a failure: the service must never see a block with an unread tail.
  if (!ReadWholeFile(path, block)) return 0;

  int result = 0;
  Picture* picture =
      LoadPicture(block.data.get(), block.size);
  if (picture != nullptr) {
    std::int32_t himetricWidth = 0, himetricHeight = 0;
    GetPictureExtent(picture, himetricWidth, himetricHeight);
    const std::int64_t width = HimetricToPixels(himetricWidth, DesktopDensityX());
    const std::int64_t height = HimetricToPixels(himetricHeight, DesktopDensityY());
    // Checked before anything is allocated: negative extents and densities give sizes <= 0, and
    // the store holds at most ImageMaxSide either way.
    if (himetricWidth > 0 && himetricHeight > 0 && width > 0 && height > 0 &&
        width <= ImageMaxSide && height <= ImageMaxSide &&
        CreateImage(number, static_cast<int>(width), static_cast<int>(height), 24)) {
      result = 1;
      const int w = static_cast<int>(width), h = static_cast<int>(height);
      ImageWords target = StartDrawing(number);
      // From the bottom edge upward over the full height, the whole picture unflipped: HIMETRIC
      // heights run upward, so the picture lands upright. A failed drawing leaves the image black.
      if (target.words != nullptr)
        RenderPicture(picture, target, 0, h, w, -h, 0, 0, himetricWidth, himetricHeight);
      StopDrawing(number);
    }
    ReleasePicture(picture);
  }
  block = FileBlock{};  // the block goes before the answer, on every path
  return result;
}
