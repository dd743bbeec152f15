// SPDX-License-Identifier: MIT
// TIFF decoder over libtiff: classic TIFF read from memory through libtiff's RGBA image reader.
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "shell/acquisition.h"

namespace {

struct TiffLoad {
  const unsigned char* data;
  std::uint64_t size;
  std::uint64_t position;
  TIFF* tiff;
};

tmsize_t ReadTiff(thandle_t handle, void* buffer, tmsize_t bytes) {
  auto* load = static_cast<TiffLoad*>(handle);
  if (bytes <= 0 || load->position >= load->size) return 0;
  std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(bytes), load->size - load->position);
  std::memcpy(buffer, load->data + load->position, n);
  load->position += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t WriteTiff(thandle_t, void*, tmsize_t) { return -1; }

toff_t SeekTiff(thandle_t handle, toff_t offset, int whence) {
  auto* load = static_cast<TiffLoad*>(handle);
  std::uint64_t base = whence == SEEK_CUR ? load->position : whence == SEEK_END ? load->size : 0;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return static_cast<toff_t>(-1);
  // Offsets are unsigned; one past the data is allowed, reads there simply deliver nothing.
  if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
  load->position = base + offset;
  return load->position;
}

int CloseTiff(thandle_t) { return 0; }
toff_t SizeTiff(thandle_t handle) { return static_cast<TiffLoad*>(handle)->size; }
int MapTiff(thandle_t, void**, toff_t*) { return 0; }
void UnmapTiff(thandle_t, void*, toff_t) {}

int QuietTiff(TIFF*, void*, const char*, const char*, va_list) { return 1; }

void Destroy(TiffLoad* load) {
  if (load == nullptr) return;
  if (load->tiff != nullptr) TIFFClose(load->tiff);
  delete load;
}

bool ClassicTiff(const unsigned char* data, std::size_t size) {
  if (size < 8) return false;
  if (data[0] == 'I' && data[1] == 'I') return data[2] == 42 && data[3] == 0;
  if (data[0] == 'M' && data[1] == 'M') return data[2] == 0 && data[3] == 42;
  return false;
}

bool ProbeTiff(const unsigned char* data, std::size_t size, DecoderState& st) {
  // libtiff would also open BigTIFF (magic 43); only classic files are taken.
  if (data == nullptr || !ClassicTiff(data, size)) return false;
  auto* load = new (std::nothrow) TiffLoad{data, size, 0, nullptr};
  if (load == nullptr) return false;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options != nullptr) {
    TIFFOpenOptionsSetErrorHandlerExtR(options, QuietTiff, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, QuietTiff, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t{256} << 20);
    // "m": no memory mapping, every read goes through ReadTiff and its bounds.
    load->tiff = TIFFClientOpenExt("memory", "rm", load, ReadTiff, WriteTiff, SeekTiff, CloseTiff,
                                   SizeTiff, MapTiff, UnmapTiff, options);
    TIFFOpenOptionsFree(options);
  }
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t compression = COMPRESSION_NONE;
  bool take = load->tiff != nullptr && TIFFGetField(load->tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
              TIFFGetField(load->tiff, TIFFTAG_IMAGELENGTH, &height) == 1 &&
              TIFFGetFieldDefaulted(load->tiff, TIFFTAG_COMPRESSION, &compression) == 1;
  // Old-style JPEG (6) and the old code of Deflate (32946) are not read; Deflate under 8 is.
  take = take && compression != COMPRESSION_OJPEG && compression != COMPRESSION_DEFLATE;
  take = take && width >= 1 && height >= 1 && width <= ImageMaxSide && height <= ImageMaxSide;
  // A header of a few hundred bytes claiming a gigapixel picture is refused before its raster.
  const std::uint64_t pixels = std::uint64_t{width} * height;
  take = take && !(pixels > (std::uint64_t{1} << 24) && pixels / 16384 > size);
  if (!take) {
    Destroy(load);
    return false;
  }
  st.width = static_cast<int>(width);
  st.height = static_cast<int>(height);
  st.depth = 32;
  st.state = load;
  return true;
}

bool DecodeTiff(DecoderState& st, std::uint32_t* pixels, int stride) {
  auto* load = static_cast<TiffLoad*>(st.state);
  // libtiff's reader fills one contiguous raster.
  if (load == nullptr || pixels == nullptr || stride != st.width * 4) return false;
  if (TIFFReadRGBAImageOriented(load->tiff, static_cast<std::uint32_t>(st.width),
                                static_cast<std::uint32_t>(st.height), pixels, ORIENTATION_TOPLEFT,
                                0) != 1)
    return false;
  // libtiff packs red in the low byte; the store wants blue there.
  const std::size_t count = static_cast<std::size_t>(st.width) * st.height;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t v = pixels[i];
    pixels[i] = (v & 0xFF00FF00u) | ((v & 0xFFu) << 16) | ((v >> 16) & 0xFFu);
  }
  return true;
}

void ReleaseTiff(DecoderState& st) {
  Destroy(static_cast<TiffLoad*>(st.state));
  st.state = nullptr;
}

const ImageDecoder TiffDecoder{"TIFF", ProbeTiff, DecodeTiff, ReleaseTiff};

}  // namespace

void RegisterTiffDecoder() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  TIFFSetWarningHandler(nullptr);
  TIFFSetWarningHandlerExt(nullptr);
  // The program has no console; errors end as a refused file, not as text on stderr.
  TIFFSetErrorHandler(nullptr);
  TIFFSetErrorHandlerExt(nullptr);
  RegisterImageDecoder(&TiffDecoder);
}
