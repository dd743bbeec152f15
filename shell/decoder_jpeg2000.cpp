// SPDX-License-Identifier: MIT
// JPEG 2000 decoder over OpenJPEG: raw codestreams of 3 or 4 components, read from memory.
#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "shell/acquisition.h"

namespace {

struct MemoryStream {
  const unsigned char* data;
  std::size_t size;
  std::size_t position;
};

OPJ_SIZE_T ReadStream(void* buffer, OPJ_SIZE_T bytes, void* user) {
  auto* s = static_cast<MemoryStream*>(user);
  if (s->position >= s->size) return static_cast<OPJ_SIZE_T>(-1);
  OPJ_SIZE_T n = std::min<OPJ_SIZE_T>(bytes, s->size - s->position);
  std::memcpy(buffer, s->data + s->position, n);
  s->position += n;
  return n;
}

OPJ_OFF_T SkipStream(OPJ_OFF_T bytes, void* user) {
  auto* s = static_cast<MemoryStream*>(user);
  if (bytes < 0) {
    OPJ_OFF_T back = std::min<OPJ_OFF_T>(-bytes, static_cast<OPJ_OFF_T>(s->position));
    s->position -= static_cast<std::size_t>(back);
    return -back;
  }
  OPJ_OFF_T ahead = std::min<OPJ_OFF_T>(bytes, static_cast<OPJ_OFF_T>(s->size - s->position));
  s->position += static_cast<std::size_t>(ahead);
  return ahead;
}

OPJ_BOOL SeekStream(OPJ_OFF_T to, void* user) {
  auto* s = static_cast<MemoryStream*>(user);
  if (to < 0 || static_cast<std::uint64_t>(to) > s->size) return OPJ_FALSE;
  s->position = static_cast<std::size_t>(to);
  return OPJ_TRUE;
}

void Quiet(const char*, void*) {}

// Samples above this many in all components are refused after the header: OpenJPEG keeps
// 32 bits per sample, so this bounds its memory to 1 GiB.
constexpr std::uint64_t SampleLimit = std::uint64_t{1} << 28;

// Reads the header, checks it, then decodes the whole codestream. Null when not taken.
opj_image_t* DecodeCodestream(const unsigned char* data, std::size_t size) {
  MemoryStream memory{data, size, 0};
  opj_stream_t* stream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
  opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_J2K);
  opj_image_t* image = nullptr;
  bool ok = stream != nullptr && codec != nullptr;
  if (ok) {
    opj_stream_set_read_function(stream, ReadStream);
    opj_stream_set_skip_function(stream, SkipStream);
    opj_stream_set_seek_function(stream, SeekStream);
    opj_stream_set_user_data(stream, &memory, nullptr);
    opj_stream_set_user_data_length(stream, size);
    opj_set_info_handler(codec, Quiet, nullptr);
    opj_set_warning_handler(codec, Quiet, nullptr);
    opj_set_error_handler(codec, Quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    ok = opj_setup_decoder(codec, &parameters) && opj_read_header(stream, codec, &image) &&
         image != nullptr;
  }
  if (ok) {
    const std::uint64_t width = image->x1 > image->x0 ? image->x1 - image->x0 : 0;
    const std::uint64_t height = image->y1 > image->y0 ? image->y1 - image->y0 : 0;
    ok = (image->numcomps == 3 || image->numcomps == 4) && width >= 1 && height >= 1 &&
         width <= ImageMaxSide && height <= ImageMaxSide;
    std::uint64_t samples = 0;
    for (OPJ_UINT32 c = 0; ok && c < image->numcomps; ++c) {
      const opj_image_comp_t& comp = image->comps[c];
      ok = comp.dx >= 1 && comp.dy >= 1;
      samples += std::uint64_t{comp.w} * comp.h;
    }
    ok = ok && samples <= SampleLimit;
  }
  ok = ok && opj_decode(codec, stream, image) && opj_end_decompress(codec, stream);
  for (OPJ_UINT32 c = 0; ok && c < image->numcomps; ++c) {
    const opj_image_comp_t& comp = image->comps[c];
    ok = comp.data != nullptr && comp.w >= 1 && comp.h >= 1;
  }
  if (codec != nullptr) opj_destroy_codec(codec);
  if (stream != nullptr) opj_stream_destroy(stream);
  if (!ok && image != nullptr) {
    opj_image_destroy(image);
    image = nullptr;
  }
  return image;
}

std::uint32_t Big32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The image-and-tile-size segment right after the start marker gives the size and the component
// count; a forged one is turned away before OpenJPEG builds anything for it.
bool PlausibleSize(const unsigned char* data, std::size_t size) {
  if (size < 42) return true;  // too short to say; OpenJPEG will refuse it
  const std::uint32_t width = Big32(data + 8) - std::min(Big32(data + 16), Big32(data + 8));
  const std::uint32_t height = Big32(data + 12) - std::min(Big32(data + 20), Big32(data + 12));
  const unsigned components = (unsigned{data[40]} << 8) | data[41];
  return width >= 1 && height >= 1 && width <= ImageMaxSide && height <= ImageMaxSide &&
         (components == 3 || components == 4);
}

bool ProbeJpeg2000(const unsigned char* data, std::size_t size, DecoderState& st) {
  static const unsigned char Start[4] = {0xFF, 0x4F, 0xFF, 0x51};
  if (data == nullptr || size < 5 || std::memcmp(data, Start, 4) != 0) return false;
  if (!PlausibleSize(data, size)) return false;
  opj_image_t* image = DecodeCodestream(data, size);
  if (image == nullptr) return false;
  st.width = static_cast<int>(image->x1 - image->x0);
  st.height = static_cast<int>(image->y1 - image->y0);
  st.depth = image->numcomps == 4 ? 32 : 24;
  st.state = image;
  return true;
}

bool DecodeJpeg2000(DecoderState& st, std::uint32_t* pixels, int stride) {
  auto* image = static_cast<opj_image_t*>(st.state);
  if (image == nullptr || pixels == nullptr || stride < st.width * 4) return false;
  static const int Shift[4] = {16, 8, 0, 24};  // red, green, blue, alpha
  const std::size_t rowWords = static_cast<std::size_t>(stride) / 4;
  for (int y = 0; y < st.height; ++y) std::fill_n(pixels + y * rowWords, st.width, 0u);
  for (OPJ_UINT32 c = 0; c < image->numcomps && c < 4; ++c) {
    const opj_image_comp_t& comp = image->comps[c];
    if (comp.prec > 16) continue;  // such a channel stays 0
    const int drop = comp.prec > 8 ? 8 : 0;
    // A subsampled component covers several pixels with one sample.
    for (int y = 0; y < st.height; ++y) {
      std::int64_t cy = static_cast<std::int64_t>((std::uint64_t{image->y0} + y) / comp.dy) - comp.y0;
      cy = std::clamp<std::int64_t>(cy, 0, comp.h - 1);
      const OPJ_INT32* samples = comp.data + cy * static_cast<std::int64_t>(comp.w);
      std::uint32_t* out = pixels + y * rowWords;
      for (int x = 0; x < st.width; ++x) {
        std::int64_t cx = static_cast<std::int64_t>((std::uint64_t{image->x0} + x) / comp.dx) - comp.x0;
        cx = std::clamp<std::int64_t>(cx, 0, comp.w - 1);
        std::uint32_t value = static_cast<std::uint32_t>(samples[cx] >> drop) & 0xFF;
        out[x] |= value << Shift[c];
      }
    }
  }
  return true;
}

void ReleaseJpeg2000(DecoderState& st) {
  if (st.state != nullptr) opj_image_destroy(static_cast<opj_image_t*>(st.state));
  st.state = nullptr;
}

const ImageDecoder Jpeg2000Decoder{"JPEG 2000", ProbeJpeg2000, DecodeJpeg2000, ReleaseJpeg2000};

}  // namespace

void RegisterJpeg2000Decoder() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  RegisterImageDecoder(&Jpeg2000Decoder);
}
