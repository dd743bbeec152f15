// SPDX-License-Identifier: MIT
// The repeat-width search stage: finds RepeatWidth for SourceImage while the progress window runs.
#include "decode/kernels.h"
#include "decode/pixel_buffer.h"
#include "decode/stages.h"
#include "platform/platform.h"
#include "progress/progress.h"

std::int32_t RepeatWidth = 0;

namespace {

struct CandidateRange {
  int first;
  int last;
};

void ReportCandidate(int shift, void* context) {
  const auto* range = static_cast<const CandidateRange*>(context);
  ProgressPercent.store(CandidatePercent(shift, range->first, range->last),
                        std::memory_order_relaxed);
}

}  // namespace

int FindRepeatWidth(int /*value*/) {
  ProgressCaption = "Analyzing image...";
  if (!ImageExists(0)) return 0;
  const int width = ImageWidth(0);
  const int height = ImageHeight(0);
  const int depth = ImageDepth(0);
  // Outside these sizes no candidate would reach 100 % and the progress window would never end.
  if (width < 1 || height < 1 || width > ImageMaxSide || height > ImageMaxSide) return 0;
  auto* pixels = static_cast<PixelWord*>(AllocateBlock(PixelBlockBytes(width, height)));
  if (pixels == nullptr) return 0;
  ReadPixels(0, pixels);
  const PixelBuffer block{pixels, static_cast<std::int16_t>(width),
                          static_cast<std::int16_t>(height), static_cast<std::int8_t>(depth)};

  CandidateRange range{width >> 4, width >> 2};
  ProgressPercent.store(0, std::memory_order_relaxed);
  const int window = StartThread(RunProgressWindow, 0);
  const RepeatSearch found = SearchRepeatWidth(block.pixels, block.width, block.height,
                                               ShippedSearchKernel(), HardwareThreads(),
                                               ReportCandidate, &range);
  if (found.shift >= 0) RepeatWidth = found.shift;
  WaitThread(window);
  FreeBlock(pixels);
  return 0;
}
