// SPDX-License-Identifier: MIT
// JPEG decoder over libjpeg, reading from the file's bytes in memory.
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "shell/acquisition.h"

namespace {

// libjpeg's errors leave by a long jump to `jump`, so everything here is plain data.
struct JpegLoad {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr errors;
  std::jmp_buf jump;
  JSAMPLE* row;
  bool cmyk;
};

[[noreturn]] void FailJpeg(j_common_ptr cinfo) {
  // `errors` is the first thing libjpeg sees; its owner is found through client_data.
  auto* load = static_cast<JpegLoad*>(cinfo->client_data);
  std::longjmp(load->jump, 1);
}
void SilentMessage(j_common_ptr) {}
void SilentEmit(j_common_ptr, int) {}

void Destroy(JpegLoad* load) {
  if (load == nullptr) return;
  jpeg_destroy_decompress(&load->cinfo);
  std::free(load->row);
  std::free(load);
}

bool ProbeJpeg(const unsigned char* data, std::size_t size, DecoderState& st) {
  if (data == nullptr || size < 2 || data[0] != 0xFF || data[1] != 0xD8) return false;
  auto* load = static_cast<JpegLoad*>(std::calloc(1, sizeof(JpegLoad)));
  if (load == nullptr) return false;
  load->cinfo.err = jpeg_std_error(&load->errors);
  load->errors.error_exit = FailJpeg;
  load->errors.output_message = SilentMessage;
  load->errors.emit_message = SilentEmit;
  load->cinfo.client_data = load;
  if (setjmp(load->jump)) {
    Destroy(load);
    return false;
  }
  jpeg_create_decompress(&load->cinfo);  // keeps err and client_data
  // Progressive pictures keep every coefficient in memory; a forged huge header must not get it.
  load->cinfo.mem->max_memory_to_use = 256L << 20;
  jpeg_mem_src(&load->cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&load->cinfo, TRUE);
  jpeg_decompress_struct& cinfo = load->cinfo;
  const std::uint64_t width = cinfo.image_width;
  const std::uint64_t height = cinfo.image_height;
  bool take = width >= 1 && height >= 1 && width <= ImageMaxSide && height <= ImageMaxSide;
  // A few hundred bytes do not make a picture of many million pixels.
  if (take && width * height > (std::uint64_t{1} << 24) && width * height / 4096 > size) take = false;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
      cinfo.out_color_space = JCS_RGB;
      break;
    case JCS_YCCK:
    case JCS_CMYK:
      cinfo.out_color_space = JCS_CMYK;
      load->cmyk = true;
      break;
    default:
      take = false;
      break;
  }
  if (!take) {
    Destroy(load);
    return false;
  }
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != (load->cmyk ? 4 : 3) || cinfo.output_width != width ||
      cinfo.output_height != height) {
    Destroy(load);
    return false;
  }
  st.width = static_cast<int>(width);
  st.height = static_cast<int>(height);
  st.depth = 24;
  st.state = load;
  return true;
}

bool DecodeJpeg(DecoderState& st, std::uint32_t* pixels, int stride) {
  auto* load = static_cast<JpegLoad*>(st.state);
  if (load == nullptr || pixels == nullptr || stride < st.width * 4) return false;
  const int components = load->cmyk ? 4 : 3;
  load->row = static_cast<JSAMPLE*>(std::malloc(static_cast<std::size_t>(st.width) * components));
  if (load->row == nullptr) return false;
  if (setjmp(load->jump)) return false;
  jpeg_decompress_struct& cinfo = load->cinfo;
  while (cinfo.output_scanline < cinfo.output_height) {
    const std::size_t y = cinfo.output_scanline;
    JSAMPROW rows[1] = {load->row};
    if (jpeg_read_scanlines(&cinfo, rows, 1) != 1) return false;
    std::uint32_t* out = reinterpret_cast<std::uint32_t*>(reinterpret_cast<unsigned char*>(pixels) +
                                                          y * static_cast<std::size_t>(stride));
    const JSAMPLE* in = load->row;
    for (int x = 0; x < st.width; ++x, in += components) {
      std::uint32_t r, g, b;
      if (load->cmyk) {
        // Samples as libjpeg delivers them, 255 meaning no ink (Adobe's inverted storage).
        const std::uint32_t k = in[3];
        r = in[0] * k / 255;
        g = in[1] * k / 255;
        b = in[2] * k / 255;
      } else {
        r = in[0];
        g = in[1];
        b = in[2];
      }
      out[x] = (r << 16) | (g << 8) | b;
    }
  }
  return true;
}

void ReleaseJpeg(DecoderState& st) {
  Destroy(static_cast<JpegLoad*>(st.state));
  st.state = nullptr;
}

const ImageDecoder JpegDecoder{"JPEG", ProbeJpeg, DecodeJpeg, ReleaseJpeg};

}  // namespace

void RegisterJpegDecoder() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  RegisterImageDecoder(&JpegDecoder);
}
