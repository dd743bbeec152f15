// SPDX-License-Identifier: MIT
// Headless backend: windows, controls and dialogs as records, a scripted user, a transcript.
#include "platform/headless/headless.h"
#include "platform/platform.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

struct WindowRecord {
  std::thread::id owner;
  bool shown = false;
};

struct ControlRecord {
  int window = 0;
  long long updates = 0;
  int last = 0;
};

std::mutex Lock;
std::deque<std::string> FileAnswers;
std::deque<int> WaitEvents;
std::map<std::thread::id, std::deque<int>> Queues;
std::map<int, WindowRecord> Windows;
std::map<int, ControlRecord> Controls;
std::set<int> RefusedWindows;
std::vector<std::string> Lines;
std::vector<ShownPicture> Pictures;
std::string TranscriptPath;
int DesktopW = 1920, DesktopH = 1080, DensityX = 96, DensityY = 96;

void Record(const std::string& line) {  // Lock held
  Lines.push_back(line);
  if (!TranscriptPath.empty()) {
    if (std::FILE* file = std::fopen(TranscriptPath.c_str(), "a")) {
      std::fprintf(file, "%s\n", line.c_str());
      std::fclose(file);
    }
  }
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }
std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

void CloseLocked(int number) {
  auto found = Windows.find(number);
  if (found == Windows.end()) return;
  Windows.erase(found);
  for (auto it = Controls.begin(); it != Controls.end();) {
    it = it->second.window == number ? Controls.erase(it) : std::next(it);
  }
  Record("window " + std::to_string(number) + " close");
}

bool AddControl(int gadget, int window, const std::string& line) {
  std::lock_guard<std::mutex> hold(Lock);
  if (!Windows.count(window)) return false;
  Controls[gadget] = ControlRecord{window, 0, 0};
  Record(line);
  return true;
}

}  // namespace

void ResetHeadless() {
  std::lock_guard<std::mutex> hold(Lock);
  FileAnswers.clear();
  WaitEvents.clear();
  Queues.clear();
  Windows.clear();
  Controls.clear();
  RefusedWindows.clear();
  Lines.clear();
  Pictures.clear();
  TranscriptPath.clear();
  DesktopW = 1920;
  DesktopH = 1080;
  DensityX = DensityY = 96;
}

void QueueFileAnswer(const std::string& path) {
  std::lock_guard<std::mutex> hold(Lock);
  FileAnswers.push_back(path);
}

void QueueWaitEvent(int event) {
  std::lock_guard<std::mutex> hold(Lock);
  WaitEvents.push_back(event);
}

void PostWindowEvent(int window, int event) {
  std::lock_guard<std::mutex> hold(Lock);
  auto found = Windows.find(window);
  if (found != Windows.end()) Queues[found->second.owner].push_back(event);
}

void SetHeadlessDesktop(int width, int height) {
  std::lock_guard<std::mutex> hold(Lock);
  DesktopW = width;
  DesktopH = height;
}

void SetHeadlessDensity(int x, int y) {
  std::lock_guard<std::mutex> hold(Lock);
  DensityX = x;
  DensityY = y;
}

void RefuseWindow(int number) {
  std::lock_guard<std::mutex> hold(Lock);
  RefusedWindows.insert(number);
}

void SetTranscriptFile(const std::string& path) {
  std::lock_guard<std::mutex> hold(Lock);
  TranscriptPath = path;
}

std::vector<std::string> Transcript() {
  std::lock_guard<std::mutex> hold(Lock);
  return Lines;
}

std::vector<ShownPicture> ShownPictures() {
  std::lock_guard<std::mutex> hold(Lock);
  return Pictures;
}

ProgressRecord ProgressBarRecord(int gadget) {
  std::lock_guard<std::mutex> hold(Lock);
  auto found = Controls.find(gadget);
  if (found == Controls.end()) return ProgressRecord{0, 0};
  return ProgressRecord{found->second.updates, found->second.last};
}

bool WindowShown(int number) {
  std::lock_guard<std::mutex> hold(Lock);
  auto found = Windows.find(number);
  return found != Windows.end() && found->second.shown;
}

int RunPlatform(int (*programMain)()) { return programMain(); }

void EndPlatform() {
  ReleaseThreads();
  {
    std::lock_guard<std::mutex> hold(Lock);
    while (!Windows.empty()) CloseLocked(Windows.begin()->first);
    Queues.clear();
    Record("exit 0");
  }
  FreeAllImages();
  std::fflush(nullptr);
  std::_Exit(0);
}

bool OpenWindow(int number, int width, int height, const std::string& title, int flags) {
  std::lock_guard<std::mutex> hold(Lock);
  CloseLocked(number);
  if (RefusedWindows.count(number)) return false;
  Windows[number] = WindowRecord{std::this_thread::get_id(), (flags & WindowHidden) == 0};
  std::string line = "window " + std::to_string(number) + " open " + Quote(title) + " " +
                     Size(width, height);
  if (flags & WindowTitleBar) line += " titlebar";
  if (flags & WindowCloseBox) line += " closebox";
  if (flags & WindowCentered) line += " centred";
  if (flags & WindowHidden) line += " hidden";
  Record(line);
  return true;
}

void ShowProgramWindow(int number) {
  std::lock_guard<std::mutex> hold(Lock);
  auto found = Windows.find(number);
  if (found == Windows.end() || found->second.shown) return;
  found->second.shown = true;
  Record("window " + std::to_string(number) + " show");
}

void CloseWindow(int number) {
  std::lock_guard<std::mutex> hold(Lock);
  CloseLocked(number);
}

bool WindowExists(int number) {
  std::lock_guard<std::mutex> hold(Lock);
  return Windows.count(number) != 0;
}

bool AddImageView(int gadget, int window, int x, int y, int width, int height, NativeImage* image) {
  ImageWords words = AccessNativeImage(image);
  ShownPicture picture{gadget, words.width, words.height, {}};
  if (words.words != nullptr) {
    picture.words.assign(words.words,
                         words.words + static_cast<std::size_t>(words.width) * words.height);
  }
  std::string line = "view " + std::to_string(gadget) + " in " + std::to_string(window) + " at " +
                     std::to_string(x) + "," + std::to_string(y) + " " + Size(width, height) +
                     (image ? " image " + Size(words.width, words.height) : " no image");
  if (!AddControl(gadget, window, line)) return false;
  std::lock_guard<std::mutex> hold(Lock);
  Pictures.push_back(std::move(picture));
  return true;
}

bool AddProgressBar(int gadget, int window, int x, int y, int width, int height, int minimum,
                    int maximum) {
  return AddControl(gadget, window,
                    "bar " + std::to_string(gadget) + " in " + std::to_string(window) + " at " +
                        std::to_string(x) + "," + std::to_string(y) + " " + Size(width, height) +
                        " range " + std::to_string(minimum) + ".." + std::to_string(maximum));
}

bool AddCentredText(int gadget, int window, int x, int y, int width, int height,
                    const std::string& text) {
  return AddControl(gadget, window,
                    "text " + std::to_string(gadget) + " in " + std::to_string(window) + " at " +
                        std::to_string(x) + "," + std::to_string(y) + " " + Size(width, height) +
                        " centred " + Quote(text));
}

void SetProgressValue(int gadget, int value) {
  std::lock_guard<std::mutex> hold(Lock);
  auto found = Controls.find(gadget);
  if (found == Controls.end()) return;
  if (found->second.updates++ == 0) {
    Record("bar " + std::to_string(gadget) + " first " + std::to_string(value));
  }
  found->second.last = value;
}

int WaitEvent() {
  std::lock_guard<std::mutex> hold(Lock);
  auto& queue = Queues[std::this_thread::get_id()];
  int event = EventClose;
  if (!queue.empty()) {
    event = queue.front();
    queue.pop_front();
  } else if (!WaitEvents.empty()) {
    event = WaitEvents.front();
    WaitEvents.pop_front();
  }
  Record("wait " + std::to_string(event));
  return event;
}

int PollEvent() {
  std::lock_guard<std::mutex> hold(Lock);
  auto& queue = Queues[std::this_thread::get_id()];
  if (queue.empty()) return EventNone;
  int event = queue.front();
  queue.pop_front();
  Record("poll " + std::to_string(event));
  return event;
}

void ShowMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
  std::lock_guard<std::mutex> hold(Lock);
  Record("message " + Quote(title) + " " + Quote(text) +
         (icon == MessageError ? " error" : " information"));
}

std::string RequestFile(const std::string& title) {
  std::lock_guard<std::mutex> hold(Lock);
  Record("request " + Quote(title));
  if (FileAnswers.empty()) return "";
  std::string answer = FileAnswers.front();
  FileAnswers.pop_front();
  return answer;
}

int DesktopWidth() {
  std::lock_guard<std::mutex> hold(Lock);
  return DesktopW;
}
int DesktopHeight() {
  std::lock_guard<std::mutex> hold(Lock);
  return DesktopH;
}
int DesktopDensityX() {
  std::lock_guard<std::mutex> hold(Lock);
  return DensityX;
}
int DesktopDensityY() {
  std::lock_guard<std::mutex> hold(Lock);
  return DensityY;
}
