// SPDX-License-Identifier: MIT
// Start-up's registration of every image decoder, in the order the store tries them.
#include "shell/acquisition.h"

void RegisterImageDecoders() {
  // Strong signatures first; TGA has none worth the name, so it comes late.
  RegisterJpeg2000Decoder();
  RegisterJpegDecoder();
  RegisterPngDecoder();
  RegisterTgaDecoder();
  RegisterTiffDecoder();
}
