// SPDX-License-Identifier: MIT
// A pixel target for the built-in readers that holds them to their contract while fuzzing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/readers.h"

// Owns the one picture a reader may ask for; traps on any request outside the contract.
struct CheckedPicture {
  std::vector<std::uint32_t> words;
  int width = 0;
  int height = 0;
  int depth = 0;
  int requests = 0;

  static std::uint32_t* Make(void* context, int width, int height, int depth) {
    auto* self = static_cast<CheckedPicture*>(context);
    if (++self->requests > 1) __builtin_trap();  // asked twice
    if (width < 1 || width > ImageMaxSide || height < 1 || height > ImageMaxSide) __builtin_trap();
    if (depth != 24 && depth != 32) __builtin_trap();
    self->width = width;
    self->height = height;
    self->depth = depth;
    self->words.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0u);
    return self->words.data();
  }

  PixelTarget Target() { return PixelTarget{Make, this}; }

  // A picture handed back as read must have been asked for; a 24-bit one keeps its top bytes 0.
  void CheckRead() const {
    if (requests != 1) __builtin_trap();
    if (depth == 24) {
      for (std::uint32_t w : words)
        if ((w >> 24) != 0) __builtin_trap();
    }
  }
};
