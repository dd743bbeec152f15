// SPDX-License-Identifier: MIT
// The result viewer: ResultImage in a window of its own, scaled down to the view limits.
#include "platform/platform.h"
#include "shell/application.h"

namespace {

constexpr int ResultImage = 1;
constexpr int ViewerWindow = 2;
constexpr int ResultView = 2;

std::int32_t ShownWidth = 0;
std::int32_t ShownHeight = 0;
int SizeReduced = 0;
int CloseRequested = 0;

}  // namespace

bool FitToLimits(std::int32_t& width, std::int32_t& height, std::int32_t limitWidth,
                 std::int32_t limitHeight) {
  // Without a known desktop there is nothing to fit to (and the quotients would divide by zero).
  if (limitWidth <= 0 || limitHeight <= 0) return false;
  if (width <= limitWidth && height <= limitHeight) return false;
  std::int32_t widthQuotient = width / limitWidth;
  std::int32_t heightQuotient = height / limitHeight;
  if (widthQuotient > heightQuotient) {
    height = height * limitWidth / width;
    width = limitWidth;
  } else {
    width = width * limitHeight / height;
    height = limitHeight;
  }
  return true;
}

void ShowResult() {
  ShownWidth = ImageWidth(ResultImage);
  ShownHeight = ImageHeight(ResultImage);
  SizeReduced = FitToLimits(ShownWidth, ShownHeight, ViewLimitWidth, ViewLimitHeight) ? 1 : 0;
  if (SizeReduced == 1 && !ResizeImage(ResultImage, ShownWidth, ShownHeight)) {
    // No memory for the scaled copy: show the picture as it is rather than nothing.
    ShownWidth = ImageWidth(ResultImage);
    ShownHeight = ImageHeight(ResultImage);
    SizeReduced = 0;
  }
  if (!OpenWindow(ViewerWindow, ShownWidth, ShownHeight, "Nimbrel v0.3a",
                  WindowTitleBar | WindowCloseBox | WindowCentered)) {
    // No window, so no close event can ever come: give the image up and ask for the next file.
    FreeImage(ResultImage);
    return;
  }
  AddImageView(ResultView, ViewerWindow, 0, 0, ShownWidth, ShownHeight, ImageHandle(ResultImage));
  if (SizeReduced == 1) {
    ShowMessageBox("Nimbrel", "The size of the image has been reduced to fit the current desktop.",
                   MessageInformation);
  }
  CloseRequested = 0;
  do {
    if (WaitEvent() == EventClose) CloseRequested = 1;
  } while (CloseRequested == 0);
  CloseWindow(ViewerWindow);
  FreeImage(ResultImage);
}
