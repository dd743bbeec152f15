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

struct Picture {
  IPicture* picture;
  IStream* stream;  // holds the global block; released after the picture
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

}  // namespace

Picture* LoadPicture(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size == 0 || size > 0x7FFFFFFFu) return nullptr;
  if (!GifScreenAcceptable(data, size)) return nullptr;
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
  auto* result = new (std::nothrow) Picture{picture, stream};
  if (result == nullptr) {
    picture->Release();
    stream->Release();
  }
  return result;
}

void GetPictureExtent(Picture* picture, std::int32_t& himetricWidth, std::int32_t& himetricHeight) {
  himetricWidth = 0;
  himetricHeight = 0;
  if (picture == nullptr) return;
  OLE_XSIZE_HIMETRIC width = 0;
  OLE_YSIZE_HIMETRIC height = 0;
  if (SUCCEEDED(picture->picture->get_Width(&width))) himetricWidth = width;
  if (SUCCEEDED(picture->picture->get_Height(&height))) himetricHeight = height;
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
  const HRESULT drawn =
      picture->picture->Render(context, x, y, cx, cy, xSrc, ySrc, cxSrc, cySrc, nullptr);
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
