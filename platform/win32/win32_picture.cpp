// SPDX-License-Identifier: MIT
// The picture service over OLE pictures: a stream over a copy of the data in global memory,
// OleLoadPicture, and IPicture::Render into a DIB section that holds the image's words.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/win32_screen.h"

struct Picture {
  IPicture* picture;
  IStream* stream;  // holds the global block; released after the picture
  // The service's own extent, and the one reported to the program (see GetPictureExtent).
  OLE_XSIZE_HIMETRIC ownWidth;
  OLE_YSIZE_HIMETRIC ownHeight;
  std::int32_t reportedWidth;
  std::int32_t reportedHeight;
};

namespace {

// Beyond this many pixels a picture is refused before the service builds a bitmap of it: a
// stereogram never needs more, and a GIF's logical screen costs nothing to claim.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 25;

// An LZW code is at least 2 bits and stands for at most 4096 pixels, so a GIF's data cannot
// describe more than 4096 * 8 / 2 pixels per byte; a logical screen beyond that is a bomb.
constexpr std::int64_t kGifPixelsPerByte = 16384;

// GIF is the one format the service reads whose claimed size can be checked up front for free.
bool GifScreenAcceptable(const unsigned char* data, std::size_t size) {
  if (size < 10 || (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0))
    return true;
  const std::int64_t width = data[6] | data[7] << 8;
  const std::int64_t height = data[8] | data[9] << 8;
  const std::int64_t pixels = width * height;
  return pixels <= kMaxPicturePixels &&
         pixels <= static_cast<std::int64_t>(size) * kGifPixelsPerByte;
}

// The HIMETRIC length whose truncating conversion at `density` gives back `pixels` exactly.
std::int32_t HimetricFor(std::int64_t pixels, int density) {
  return static_cast<std::int32_t>((pixels * 2540 + density - 1) / density);
}

// Fills in both extents. The service rounds a bitmap's extent to the nearest HIMETRIC unit, so
// that converting it back to pixels with truncation can lose a row or a column (400 pixels at 96
// per inch are 10583 units, which give 399). For a bitmap the program is given instead the extent
// that converts back to the bitmap's own size.
void MeasurePicture(Picture& picture) {
  picture.ownWidth = 0;
  picture.ownHeight = 0;
  picture.picture->get_Width(&picture.ownWidth);
  picture.picture->get_Height(&picture.ownHeight);
  picture.reportedWidth = picture.ownWidth;
  picture.reportedHeight = picture.ownHeight;
  SHORT type = PICTYPE_UNINITIALIZED;
  OLE_HANDLE handle = 0;
  BITMAP bitmap{};
  if (FAILED(picture.picture->get_Type(&type)) || type != PICTYPE_BITMAP ||
      FAILED(picture.picture->get_Handle(&handle)) || handle == 0 ||
      GetObjectA(reinterpret_cast<HGDIOBJ>(static_cast<UINT_PTR>(handle)), sizeof bitmap,
                 &bitmap) != sizeof bitmap ||
      bitmap.bmWidth <= 0 || bitmap.bmHeight <= 0)
    return;
  picture.reportedWidth = HimetricFor(bitmap.bmWidth, ScreenDensity(LOGPIXELSX));
  picture.reportedHeight = HimetricFor(bitmap.bmHeight, ScreenDensity(LOGPIXELSY));
}

// A source coordinate in reported units, in the service's own units.
OLE_XPOS_HIMETRIC ToOwn(std::int32_t value, std::int32_t reported, std::int32_t own) {
  if (reported == own || reported == 0) return value;
  return static_cast<OLE_XPOS_HIMETRIC>(std::int64_t{value} * own / reported);
}

}  // namespace

int ScreenDensity(int which) {
  HWND desktop = GetDesktopWindow();
  HDC context = GetDC(desktop);
  if (context == nullptr) return 96;
  int density = GetDeviceCaps(context, which);
  ReleaseDC(desktop, context);
  return density > 0 ? density : 96;
}

Picture* LoadPicture(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size == 0 || size > 0x7FFFFFFFu) return nullptr;
  if (!GifScreenAcceptable(data, size)) return nullptr;
  // The service decodes through COM objects. The Win32 backend initialises COM on the program's
  // main thread; any other caller (the tests, on the headless backend) gets it here, once a thread.
  thread_local const bool comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  (void)comReady;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (block == nullptr) return nullptr;
  void* bytes = GlobalLock(block);
  if (bytes == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  std::memcpy(bytes, data, size);
  GlobalUnlock(block);
  IStream* stream = nullptr;
  // The stream frees the block when it is released.
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || stream == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  IPicture* picture = nullptr;
  // Run-mode FALSE: the picture keeps the data in the format it was read in.
  HRESULT loaded = OleLoadPicture(stream, static_cast<LONG>(size), FALSE, IID_IPicture,
                                  reinterpret_cast<void**>(&picture));
  if (FAILED(loaded) || picture == nullptr) {
    stream->Release();
    return nullptr;
  }
  auto* result = new (std::nothrow) Picture{picture, stream, 0, 0, 0, 0};
  if (result == nullptr) {
    picture->Release();
    stream->Release();
    return nullptr;
  }
  MeasurePicture(*result);
  return result;
}

void GetPictureExtent(Picture* picture, std::int32_t& himetricWidth, std::int32_t& himetricHeight) {
  himetricWidth = picture != nullptr ? picture->reportedWidth : 0;
  himetricHeight = picture != nullptr ? picture->reportedHeight : 0;
}

bool RenderPicture(Picture* picture, const ImageWords& target, int x, int y, int cx, int cy,
                   std::int32_t xSrc, std::int32_t ySrc, std::int32_t cxSrc, std::int32_t cySrc) {
  if (picture == nullptr || target.words == nullptr || target.width <= 0 || target.height <= 0)
    return false;
  HDC context = CreateCompatibleDC(nullptr);
  if (context == nullptr) return false;
  // A 32-bit top-down DIB section has exactly the store's word layout.
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format.bmiHeader.biWidth = target.width;
  format.bmiHeader.biHeight = -target.height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(context, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap == nullptr || bits == nullptr) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    DeleteDC(context);
    return false;
  }
  const std::size_t count =
      static_cast<std::size_t>(target.width) * static_cast<std::size_t>(target.height);
  auto* words = static_cast<std::uint32_t*>(bits);
  std::memcpy(words, target.words, count * sizeof(std::uint32_t));
  HGDIOBJ previous = SelectObject(context, bitmap);
  const std::int32_t w = picture->reportedWidth, ow = picture->ownWidth;
  const std::int32_t h = picture->reportedHeight, oh = picture->ownHeight;
  // A destination that runs upward is the same drawing as a downward one of a source that runs
  // the other way. Only the second form covers the destination's first row under every GDI
  // (wine's leaves row y + cy blank and paints one row too low), so it is the one passed on.
  if (cy < 0) {
    y += cy;
    cy = -cy;
    ySrc += cySrc;
    cySrc = -cySrc;
  }
  if (cx < 0) {
    x += cx;
    cx = -cx;
    xSrc += cxSrc;
    cxSrc = -cxSrc;
  }
  const HRESULT drawn =
      picture->picture->Render(context, x, y, cx, cy, ToOwn(xSrc, w, ow), ToOwn(ySrc, h, oh),
                               ToOwn(cxSrc, w, ow), ToOwn(cySrc, h, oh), nullptr);
  GdiFlush();
  SelectObject(context, previous);
  // GDI leaves the top byte undefined; a 24-bit image keeps it at 0.
  if (target.depth == 24) {
    for (std::size_t i = 0; i < count; ++i) target.words[i] = words[i] & 0x00FFFFFFu;
  } else {
    std::memcpy(target.words, words, count * sizeof(std::uint32_t));
  }
  DeleteObject(bitmap);
  DeleteDC(context);
  return SUCCEEDED(drawn);
}

void ReleasePicture(Picture* picture) {
  if (picture == nullptr) return;
  picture->picture->Release();
  picture->stream->Release();
  delete picture;
}
