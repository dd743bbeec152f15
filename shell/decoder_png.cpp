// SPDX-License-Identifier: MIT
// PNG decoder over libpng, reading from the file's bytes in memory.
#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shell/acquisition.h"

static_assert(std::endian::native == std::endian::little,
              "blue-green-red-alpha bytes are read as store words");

namespace {

// Everything one load keeps between probe, decode and release. Plain data only: libpng's errors
// leave by a long jump, so nothing here may need a destructor.
struct PngLoad {
  png_structp png;
  png_infop info;
  const unsigned char* data;
  std::size_t size;
  std::size_t position;
  png_bytep* rows;
};

void ReadBytes(png_structp png, png_bytep out, std::size_t length) {
  auto* load = static_cast<PngLoad*>(png_get_io_ptr(png));
  if (length > load->size - load->position) png_error(png, "read past end of data");
  std::memcpy(out, load->data + load->position, length);
  load->position += length;
}

[[noreturn]] void FailPng(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void IgnoreWarning(png_structp, png_const_charp) {}

void Destroy(PngLoad* load) {
  if (load == nullptr) return;
  png_destroy_read_struct(&load->png, &load->info, nullptr);
  std::free(load->rows);
  std::free(load);
}

bool ProbePng(const unsigned char* data, std::size_t size, DecoderState& st) {
  if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0) return false;
  auto* load = static_cast<PngLoad*>(std::calloc(1, sizeof(PngLoad)));
  if (load == nullptr) return false;
  load->data = data;
  load->size = size;
  load->position = 8;
  load->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, FailPng, IgnoreWarning);
  if (load->png != nullptr) load->info = png_create_info_struct(load->png);
  if (load->png == nullptr || load->info == nullptr) {
    Destroy(load);
    return false;
  }
  if (setjmp(png_jmpbuf(load->png))) {
    Destroy(load);
    return false;
  }
  png_structp png = load->png;
  png_infop info = load->info;
  // Oversized chunks are only "benign" to libpng, which would allocate them first.
  png_set_benign_errors(png, 0);
  png_set_user_limits(png, ImageMaxSide, ImageMaxSide);
  png_set_chunk_malloc_max(png, 16u << 20);
  png_set_chunk_cache_max(png, 1000);
  png_set_read_fn(png, load, ReadBytes);
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colourType = 0;
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, nullptr, nullptr, nullptr);
  if (width < 1 || height < 1 || width > ImageMaxSide || height > ImageMaxSide) {
    Destroy(load);
    return false;
  }
  // Deflate gives at most 1032 bytes per byte, so rows that cannot all be in the file are refused
  // before anything of their size is allocated.
  std::uint64_t rowBytes = (std::uint64_t{width} * png_get_channels(png, info) * bitDepth + 7) / 8;
  if ((rowBytes + 1) * height > std::uint64_t{size} * 1032 + 4096) {
    Destroy(load);
    return false;
  }
  const bool alpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0 ||
                     png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_strip_16(png);
  if ((colourType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_bgr(png);
  if (!alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != std::size_t{width} * 4) {
    Destroy(load);
    return false;
  }
  st.width = static_cast<int>(width);
  st.height = static_cast<int>(height);
  st.depth = alpha ? 32 : 24;
  st.state = load;
  return true;
}

bool DecodePng(DecoderState& st, std::uint32_t* pixels, int stride) {
  auto* load = static_cast<PngLoad*>(st.state);
  if (load == nullptr || pixels == nullptr || stride < st.width * 4) return false;
  load->rows = static_cast<png_bytep*>(std::calloc(static_cast<std::size_t>(st.height), sizeof(png_bytep)));
  if (load->rows == nullptr) return false;
  for (int y = 0; y < st.height; ++y)
    load->rows[y] = reinterpret_cast<png_bytep>(pixels) + static_cast<std::size_t>(y) * stride;
  if (setjmp(png_jmpbuf(load->png))) return false;
  png_read_image(load->png, load->rows);
  png_read_end(load->png, nullptr);
  return true;
}

void ReleasePng(DecoderState& st) {
  Destroy(static_cast<PngLoad*>(st.state));
  st.state = nullptr;
}

const ImageDecoder PngDecoder{"PNG", ProbePng, DecodePng, ReleasePng};

}  // namespace

void RegisterPngDecoder() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  RegisterImageDecoder(&PngDecoder);
}
