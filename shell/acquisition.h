// SPDX-License-Identifier: MIT
// The image decoders that start-up registers with the image store, in trial order.
#pragma once

// Each appends its decoder to the store's registry on the first call and does nothing after.
// Main thread, during start-up, before the first load.
void RegisterJpeg2000Decoder();  // raw JPEG 2000 codestreams of 3 or 4 components (OpenJPEG)
void RegisterJpegDecoder();      // JPEG (libjpeg)
void RegisterPngDecoder();       // PNG (libpng)
void RegisterTgaDecoder();       // TGA true colour, plain or run-length, 16/24/32 bits
void RegisterTiffDecoder();      // classic TIFF (libtiff); also switches libtiff's warnings off

// Registers all five in the order JPEG 2000, JPEG, PNG, TGA, TIFF.
void RegisterImageDecoders();
