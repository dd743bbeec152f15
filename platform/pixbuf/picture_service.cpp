// SPDX-License-Identifier: MIT
// The picture service over gdk-pixbuf: reads GIF, WebP, SVG, HEIF/AVIF and PNM pictures from memory
// and draws them, scaled, into an image's words.
#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/platform.h"

struct Picture {
  cairo_surface_t* surface;  // RGB24: the picture already composited over black
  int width;                 // pixels
  int height;
};

namespace {

// Beyond this many pixels a picture is refused: each copy of it (decoded, composited, stored)
// would take more than 128 MiB, far more than any stereogram needs.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 25;

// An LZW code is at least 2 bits and stands for at most 4096 pixels, so a GIF's data cannot
// describe more than 4096 * 8 / 2 pixels per byte; a logical screen beyond that is empty space
// around a few pixels, a bomb rather than a picture.
constexpr std::int64_t kGifPixelsPerByte = 16384;

// The loader names below are those of gdk-pixbuf's modules. Loaders are never picked by
// gdk-pixbuf's own sniffing: some of them (QuickTime, for one) build a whole picture of the size
// a header claims before looking at the data, whatever size-prepared answers.
struct Format {
  const char* loader;
  bool isGif;
};

bool StartsWith(std::string_view data, std::string_view prefix) {
  return data.size() >= prefix.size() && data.compare(0, prefix.size(), prefix) == 0;
}

bool LooksLikeSvg(std::string_view data) {
  std::size_t at = 0;
  if (StartsWith(data, "\xEF\xBB\xBF")) at = 3;
  while (at < data.size() && (data[at] == ' ' || data[at] == '\t' || data[at] == '\r' ||
                              data[at] == '\n'))
    ++at;
  if (at >= data.size() || data[at] != '<') return false;
  // An XML prolog, comments and a doctype may come first; the root element follows soon after.
  std::string_view head = data.substr(at, 4096);
  return head.find("<svg") != std::string_view::npos;
}

bool LooksLikeHeif(std::string_view data) {
  if (data.size() < 12 || data.compare(4, 4, "ftyp") != 0) return false;
  static constexpr std::string_view kBrands[] = {"heic", "heix", "hevc", "hevx", "heim",
                                                 "heis", "mif1", "msf1", "avif", "avis"};
  std::string_view brand = data.substr(8, 4);
  return std::find(std::begin(kBrands), std::end(kBrands), brand) != std::end(kBrands);
}

bool LooksLikePnm(std::string_view data) {
  return data.size() >= 3 && data[0] == 'P' && data[1] >= '1' && data[1] <= '6' &&
         (data[2] == ' ' || data[2] == '\t' || data[2] == '\r' || data[2] == '\n' || data[2] == '#');
}

bool DetectFormat(std::string_view data, Format& format) {
  if (StartsWith(data, "GIF87a") || StartsWith(data, "GIF89a")) {
    format = {"gif", true};
  } else if (data.size() >= 12 && StartsWith(data, "RIFF") && data.compare(8, 4, "WEBP") == 0) {
    format = {"webp", false};
  } else if (LooksLikeHeif(data)) {
    format = {"heif/avif", false};
  } else if (LooksLikePnm(data)) {
    format = {"pnm", false};
  } else if (LooksLikeSvg(data)) {
    format = {"svg", false};
  } else {
    return false;
  }
  return true;
}

bool AcceptableSize(std::int64_t width, std::int64_t height, std::int64_t maxPixels) {
  return width >= 1 && height >= 1 && width <= ImageMaxSide && height <= ImageMaxSide &&
         width * height <= maxPixels;
}

struct LoadWatch {
  std::int64_t maxPixels;
  bool refused;
};

void OnSizePrepared(GdkPixbufLoader* loader, gint width, gint height, gpointer data) {
  auto* watch = static_cast<LoadWatch*>(data);
  if (AcceptableSize(width, height, watch->maxPixels)) return;
  watch->refused = true;
  // A zero size makes the cooperating loaders stop before they allocate the picture.
  gdk_pixbuf_loader_set_size(loader, 0, 0);
}

// Copies the pixbuf into a cairo surface, compositing any transparency over black (which is just
// premultiplying by alpha and then ignoring it).
cairo_surface_t* CompositeOverBlack(GdkPixbuf* pixbuf) {
  if (gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB ||
      gdk_pixbuf_get_bits_per_sample(pixbuf) != 8)
    return nullptr;
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
  if ((alpha && channels != 4) || (!alpha && channels != 3)) return nullptr;
  const int srcStride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar* src = gdk_pixbuf_read_pixels(pixbuf);

  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  cairo_surface_flush(surface);
  unsigned char* dst = cairo_image_surface_get_data(surface);
  const int dstStride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    const guchar* in = src + static_cast<std::ptrdiff_t>(y) * srcStride;
    auto* out = reinterpret_cast<std::uint32_t*>(dst + static_cast<std::ptrdiff_t>(y) * dstStride);
    for (int x = 0; x < width; ++x, in += channels) {
      std::uint32_t r = in[0], g = in[1], b = in[2];
      if (alpha) {
        const std::uint32_t a = in[3];
        r = (r * a + 127) / 255;
        g = (g * a + 127) / 255;
        b = (b * a + 127) / 255;
      }
      out[x] = (r << 16) | (g << 8) | b;
    }
  }
  cairo_surface_mark_dirty(surface);
  return surface;
}

}  // namespace

Picture* LoadPicture(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size == 0) return nullptr;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Format format{};
  if (!DetectFormat(bytes, format)) return nullptr;

  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(format.loader, nullptr);
  if (loader == nullptr) return nullptr;  // the module is not installed
  LoadWatch watch{kMaxPicturePixels, false};
  if (format.isGif) {
    const std::int64_t bound = static_cast<std::int64_t>(size) * kGifPixelsPerByte;
    watch.maxPixels = std::min(watch.maxPixels, bound);
  }
  g_signal_connect(loader, "size-prepared", G_CALLBACK(OnSizePrepared), &watch);

  // Written in pieces so that a refusal in size-prepared stops the data early.
  constexpr std::size_t kPiece = 64 * 1024;
  bool written = true;
  for (std::size_t at = 0; at < size && written && !watch.refused; at += kPiece) {
    const std::size_t count = std::min(kPiece, size - at);
    written = gdk_pixbuf_loader_write(loader, data + at, count, nullptr);
  }
  const bool closed = gdk_pixbuf_loader_close(loader, nullptr);

  Picture* picture = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);  // an animation's first frame
  if (written && closed && !watch.refused && pixbuf != nullptr &&
      AcceptableSize(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                     watch.maxPixels)) {
    if (cairo_surface_t* surface = CompositeOverBlack(pixbuf)) {
      picture = new Picture{surface, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf)};
    }
  }
  g_object_unref(loader);
  return picture;
}

void GetPictureExtent(Picture* picture, std::int32_t& himetricWidth, std::int32_t& himetricHeight) {
  if (picture == nullptr) {
    himetricWidth = 0;
    himetricHeight = 0;
    return;
  }
  // Rounded up, so that the truncating conversion back at 96 pixels per inch gives the
  // picture's own size: floor(ceil(p * 2540 / 96) * 96 / 2540) == p.
  himetricWidth = static_cast<std::int32_t>((std::int64_t{picture->width} * 2540 + 95) / 96);
  himetricHeight = static_cast<std::int32_t>((std::int64_t{picture->height} * 2540 + 95) / 96);
}

bool RenderPicture(Picture* picture, const ImageWords& target, int x, int y, int cx, int cy,
                   std::int32_t xSrc, std::int32_t ySrc, std::int32_t cxSrc, std::int32_t cySrc) {
  if (picture == nullptr || target.words == nullptr || target.width <= 0 || target.height <= 0)
    return false;
  if (cx == 0 || cy == 0 || cxSrc == 0 || cySrc == 0) return false;
  std::int32_t himetricWidth = 0, himetricHeight = 0;
  GetPictureExtent(picture, himetricWidth, himetricHeight);

  // Destination pixel (dx, dy) shows HIMETRIC point
  //   xs = xSrc + (dx - x) * cxSrc / cx,  ys = ySrc + (dy - y) * cySrc / cy,
  // and HIMETRIC y runs upward from the picture's bottom edge, so the picture pixel is
  //   px = xs * width / himetricWidth,    py = height - ys * height / himetricHeight.
  // Each coefficient is one quotient of exact integer products, so that drawing at the
  // picture's own size gives exactly the identity and copies the pixels unchanged.
  const double w = picture->width, h = picture->height;
  const double hmW = himetricWidth, hmH = himetricHeight;
  const double dx = x, dy = y, dcx = cx, dcy = cy;
  const double sx = xSrc, sy = ySrc, scx = cxSrc, scy = cySrc;
  cairo_matrix_t toPicture;
  cairo_matrix_init(&toPicture, (scx * w) / (dcx * hmW), 0.0, 0.0, -(scy * h) / (dcy * hmH),
                    (sx * dcx - dx * scx) * w / (dcx * hmW),
                    h - (sy * dcy - dy * scy) * h / (dcy * hmH));

  const int stride = target.width * 4;
  if (cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, target.width) != stride) return false;
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      reinterpret_cast<unsigned char*>(target.words), CAIRO_FORMAT_RGB24, target.width,
      target.height, stride);
  cairo_t* cr = cairo_create(surface);
  cairo_pattern_t* pattern = cairo_pattern_create_for_surface(picture->surface);
  cairo_pattern_set_matrix(pattern, &toPicture);
  // Padding keeps the edges of a scaled picture from being blended with the void around it.
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(pattern, CAIRO_FILTER_GOOD);
  cairo_set_source(cr, pattern);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  const int left = std::min(x, x + cx), right = std::max(x, x + cx);
  const int top = std::min(y, y + cy), bottom = std::max(y, y + cy);
  cairo_rectangle(cr, left, top, right - left, bottom - top);
  cairo_fill(cr);
  const bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_pattern_destroy(pattern);
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  cairo_surface_destroy(surface);

  // cairo leaves the unused top byte of RGB24 undefined; the store wants it 0 in a 24-bit image.
  const int x0 = std::clamp(left, 0, target.width), x1 = std::clamp(right, 0, target.width);
  const int y0 = std::clamp(top, 0, target.height), y1 = std::clamp(bottom, 0, target.height);
  for (int row = y0; row < y1; ++row) {
    std::uint32_t* words = target.words + static_cast<std::ptrdiff_t>(row) * target.width;
    for (int col = x0; col < x1; ++col) words[col] &= 0x00FFFFFFu;
  }
  return drawn;
}

void ReleasePicture(Picture* picture) {
  if (picture == nullptr) return;
  cairo_surface_destroy(picture->surface);
  delete picture;
}
