// SPDX-License-Identifier: MIT
// Threads, memory blocks, the clock and file queries of the portable core.
#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <system_error>
#include <thread>

namespace {

std::mutex ThreadLock;
int LastThreadNumber = 0;  // numbers are never reused over the life of the process
std::map<int, std::unique_ptr<std::thread>> Threads;

}  // namespace

int StartThread(ThreadBody body, int value) {
  std::lock_guard<std::mutex> hold(ThreadLock);
  std::unique_ptr<std::thread> thread;
  try {
    thread = std::make_unique<std::thread>([body, value] { body(value); });
  } catch (const std::system_error&) {
    return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  int number = ++LastThreadNumber;
  Threads[number] = std::move(thread);
  return number;
}

void WaitThread(int number) {
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard<std::mutex> hold(ThreadLock);
    auto found = Threads.find(number);
    if (found == Threads.end()) return;
    thread = std::move(found->second);
    Threads.erase(found);
  }
  if (thread->joinable()) thread->join();
}

void ReleaseThreads() {
  std::lock_guard<std::mutex> hold(ThreadLock);
  for (auto& entry : Threads) {
    if (entry.second->joinable()) entry.second->detach();
  }
  Threads.clear();
}

void* AllocateBlock(std::int64_t bytes) {
  if (bytes <= 0) return nullptr;
  if (static_cast<std::uint64_t>(bytes) > SIZE_MAX) return nullptr;
  return std::calloc(1, static_cast<std::size_t>(bytes));
}

void FreeBlock(void* block) { std::free(block); }

std::int64_t ClockMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t QueryFileSize(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) return -2;
  return static_cast<std::int64_t>(info.st_size);
}

bool ReadWholeFile(const std::string& path, FileBlock& out) {
  out = FileBlock{};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = false;
  struct stat info {};
  if (::fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0) {
    out.size = static_cast<std::size_t>(info.st_size);
    // Not zero-filled: the read overwrites every byte, and clearing a large file costs seconds.
    out.data.reset(new (std::nothrow) unsigned char[out.size == 0 ? 1 : out.size]);
    if (out.data) {
      std::size_t got = out.size == 0 ? 0 : std::fread(out.data.get(), 1, out.size, file);
      ok = got == out.size;
    }
  }
  std::fclose(file);
  if (!ok) out = FileBlock{};
  return ok;
}
