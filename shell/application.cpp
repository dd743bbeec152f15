// SPDX-License-Identifier: MIT
// Start-up, the endless cycle of passes and the way out.
#include "shell/application.h"

#include <cmath>

#include "decode/stages.h"
#include "platform/platform.h"
#include "progress/progress.h"
#include "shell/acquisition.h"
#include "shell/picture_fallback.h"

std::int32_t ViewLimitWidth = 0;
std::int32_t ViewLimitHeight = 0;

namespace {

const char* const ProgramTitle = "Nimbrel";

// Runs one stage on a worker thread and waits for it; a thread that cannot start is skipped.
void RunStage(ThreadBody body, int value) { WaitThread(StartThread(body, value)); }

void ReportFile(const std::string& path, const char* tail) {
  ShowMessageBox(ProgramTitle, "The file '" + NamePart(path) + tail, MessageError);
}

}  // namespace

std::string NamePart(const std::string& path) {
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::string& path) { return QueryFileSize(path) != -1; }

std::int32_t ViewLimitFor(std::int32_t displaySize) {
  const double limit = static_cast<double>(displaySize) * 0.9;
  // To the nearest integer, an exact half to the even one (1005 x 0.9 = 904.5 gives 904).
  const double below = std::floor(limit);
  const double rest = limit - below;
  const bool up = rest > 0.5 || (rest == 0.5 && std::fmod(below, 2.0) != 0.0);
  return static_cast<std::int32_t>(up ? below + 1.0 : below);
}

void StartProgram() {
  RepeatWidth = 0;
  ProgressPercent.store(0);
  ProgressCaption.clear();
  RegisterImageDecoders();
  ViewLimitWidth = ViewLimitFor(DesktopWidth());
  ViewLimitHeight = ViewLimitFor(DesktopHeight());
}

void EndProgram() { EndPlatform(); }

void RunPass() {
  std::string chosen = RequestFile("Select stereogram image");
  if (NamePart(chosen).empty()) EndProgram();
  if (!FileExists(chosen)) {
    ReportFile(chosen, "' does not exist.");
    return;
  }
  LoadImageFile(0, chosen);
  if (!ImageExists(0)) LoadPictureFallback(0, chosen);
  if (!ImageExists(0)) {
    ReportFile(chosen, "' does not appear to be a valid image.");
    return;
  }
  RunStage(FindRepeatWidth, 0);
  RunStage(BuildDifferenceImage, 0);
  FreeImage(0);
  RunStage(StretchLevels, 1);
}

int RunProgram() {
  StartProgram();
  for (;;) {
    RunPass();
    ShowResult();
  }
}
