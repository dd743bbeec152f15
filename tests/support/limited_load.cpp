// SPDX-License-Identifier: MIT
// Loads one file in a forked child under processor-time and memory limits (POSIX; Windows has
// limited_load_win32.cpp).
#ifndef _WIN32
#include "support/limited_load.h"

#include <chrono>
#include <csignal>
#include <new>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

constexpr int ExitOutOfMemory = 4;
constexpr int ExitDisagrees = 5;

[[noreturn]] void OutOfMemory() { ::_exit(ExitOutOfMemory); }

double ProcessorSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

bool AddressSanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

LimitedLoad LoadInLimitedChild(int (*load)(const std::string& path), const std::string& path,
                               int seconds, long megabytes) {
  LimitedLoad result;
  int channel[2];
  if (::pipe(channel) != 0) return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    if (!AddressSanitized()) {
      rlimit memory{};
      memory.rlim_cur = memory.rlim_max = static_cast<rlim_t>(megabytes) << 20;
      ::setrlimit(RLIMIT_AS, &memory);
    }
    // The machine is shared: the limit is on processor time; the wall clock only catches a child
    // that waits for nothing.
    rlimit cpu{};
    cpu.rlim_cur = static_cast<rlim_t>(seconds);
    cpu.rlim_max = static_cast<rlim_t>(seconds) + 1;
    ::setrlimit(RLIMIT_CPU, &cpu);
    ::alarm(static_cast<unsigned>(seconds) * 10);
    std::set_new_handler(OutOfMemory);
    int answer[4] = {load(path), ImageWidth(0), ImageHeight(0), ImageDepth(0)};
    if ((answer[0] != 0) != ImageExists(0)) ::_exit(ExitDisagrees);
    const bool sent = ::write(channel[1], answer, sizeof answer) == static_cast<ssize_t>(sizeof answer);
    ::_exit(sent ? 0 : 3);
  }
  ::close(channel[1]);
  if (child < 0) {
    ::close(channel[0]);
    return result;
  }
  int answer[4] = {0, 0, 0, 0};
  const bool got = ::read(channel[0], answer, sizeof answer) == static_cast<ssize_t>(sizeof answer);
  ::close(channel[0]);
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  result.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.cpuSeconds = ProcessorSeconds(usage);
  result.maxRssKb = usage.ru_maxrss;
  if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    const bool overTime = result.signal == SIGALRM || result.signal == SIGXCPU ||
                          (result.signal == SIGKILL && result.cpuSeconds >= seconds);
    result.outcome = overTime ? LoadOutcome::OverTime : LoadOutcome::Crashed;
    return result;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == ExitOutOfMemory) {
    result.outcome = LoadOutcome::OverMemory;
    return result;
  }
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return result;
  result.outcome = LoadOutcome::Finished;
  result.route = answer[0];
  result.width = answer[1];
  result.height = answer[2];
  result.depth = answer[3];
  return result;
}

#endif  // !_WIN32
