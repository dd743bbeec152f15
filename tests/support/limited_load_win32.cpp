// SPDX-License-Identifier: MIT
// Loads one file in a child process under processor-time and memory limits, on Windows.
//
// The child is this test program started again with NIMBREL_LIMITED_CHILD in its environment; its
// GoogleTest start runs the one load instead of the tests. A job object carries the limits, but
// wine (8.0) accepts and ignores the job's memory and time limits, keeps no job accounts, and
// answers GetProcessTimes for another process with the caller's own times. So the child also
// polls its own processor time and memory and ends itself with the outcome's exit code, and
// reports its own figures; the parent keeps the wall clock.
#ifdef _WIN32

#include "support/limited_load.h"

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

// The child's exit codes; a crash ends it with the exception's code instead.
constexpr UINT ExitAborted = 3;  // as the C library's abort()
constexpr UINT ExitOutOfMemory = 4;
constexpr UINT ExitDisagrees = 5;
constexpr UINT ExitOverTime = 6;
constexpr UINT ExitWallClock = 7;  // set by the parent
constexpr UINT ExitNoAnswer = 8;

constexpr const char* RequestVariable = "NIMBREL_LIMITED_CHILD";

// The child's first word through the pipe: it is running and about to load. Under wine on qemu a
// new process now and then fails to start at all ("wine: failed to start"); without this word the
// parent starts the child again.
constexpr std::uint32_t Begun = 0x4E424C44;
constexpr int StartAttempts = 3;

// What the child sends back through the pipe after the word.
struct Answer {
  std::int32_t route;
  std::int32_t width;
  std::int32_t height;
  std::int32_t depth;
  double cpuSeconds;
  std::int64_t peakKb;
};

double Seconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return static_cast<double>(value.QuadPart) / 1e7;
}

double OwnProcessorSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  return Seconds(kernel) + Seconds(user);
}

PROCESS_MEMORY_COUNTERS OwnMemory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters;
}

// Ends the child at once: no library clean-up runs after a load that may have broken things.
[[noreturn]] void EndChild(UINT code) {
  TerminateProcess(GetCurrentProcess(), code);
  for (;;) Sleep(INFINITE);
}

[[noreturn]] void OutOfMemory() { EndChild(ExitOutOfMemory); }

// A crash ends the child with its exception code instead of starting wine's debugger.
LONG WINAPI EndOnException(EXCEPTION_POINTERS* pointers) {
  EndChild(pointers->ExceptionRecord->ExceptionCode);
}

// abort() ends the child as the C library would, without its message box.
void EndOnAbort(int) { EndChild(ExitAborted); }

struct Watch {
  double cpuStart;
  double seconds;
  SIZE_T bytes;
};

// Polls the child's own processor time and private memory (wine: the anonymous resident memory
// of the process) and ends the child when either passes its limit.
DWORD WINAPI WatchLimits(void* context) {
  const Watch watch = *static_cast<const Watch*>(context);
  for (;;) {
    if (OwnProcessorSeconds() - watch.cpuStart >= watch.seconds) EndChild(ExitOverTime);
    if (OwnMemory().PagefileUsage > watch.bytes) EndChild(ExitOutOfMemory);
    Sleep(20);
  }
}

// The image of this program, which holds both LoadInLimitedChild and every load it is given.
bool InThisImage(std::intptr_t address) {
  const auto base = reinterpret_cast<std::intptr_t>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return address >= base && address < base + static_cast<std::intptr_t>(nt->OptionalHeader.SizeOfImage);
}

std::string Hex(const std::string& bytes) {
  static const char Digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char c : bytes) {
    text += Digits[c >> 4];
    text += Digits[c & 15];
  }
  return text;
}

std::string Unhex(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return bytes;
}

// The child's side: "<load offset> <pipe handle> <seconds> <megabytes> <hex path>".
[[noreturn]] void ServeLoad(const char* request) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndOnException);
  std::signal(SIGABRT, EndOnAbort);
  long long offset = 0;
  unsigned long long pipe = 0;
  int seconds = 0;
  long megabytes = 0;
  char hexPath[8192] = "";
  if (std::sscanf(request, "%lld %llu %d %ld %8191s", &offset, &pipe, &seconds, &megabytes,
                  hexPath) != 5)
    EndChild(ExitNoAnswer);
  const std::intptr_t address = reinterpret_cast<std::intptr_t>(&LoadInLimitedChild) +
                                static_cast<std::intptr_t>(offset);
  if (!InThisImage(address)) EndChild(ExitNoAnswer);
  const auto load = reinterpret_cast<int (*)(const std::string&)>(address);
  const std::string path = Unhex(hexPath);

  std::set_new_handler(OutOfMemory);
  static Watch watch{OwnProcessorSeconds(), static_cast<double>(seconds),
                     static_cast<SIZE_T>(megabytes) << 20};
  HANDLE watcher = CreateThread(nullptr, 64 * 1024, WatchLimits, &watch, 0, nullptr);
  if (watcher == nullptr) EndChild(ExitNoAnswer);
  const HANDLE channel = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(pipe));
  DWORD written = 0;
  if (!WriteFile(channel, &Begun, sizeof Begun, &written, nullptr)) EndChild(ExitNoAnswer);

  Answer answer{};
  answer.route = load(path);
  answer.width = ImageWidth(0);
  answer.height = ImageHeight(0);
  answer.depth = ImageDepth(0);
  answer.cpuSeconds = OwnProcessorSeconds() - watch.cpuStart;
  answer.peakKb = static_cast<std::int64_t>(OwnMemory().PeakWorkingSetSize >> 10);
  if ((answer.route != 0) != ImageExists(0)) EndChild(ExitDisagrees);
  const bool sent =
      WriteFile(channel, &answer, sizeof answer, &written, nullptr) && written == sizeof answer;
  // Wine may drop what a process wrote just before it ends itself: wait until the parent has it.
  FlushFileBuffers(channel);
  EndChild(sent ? 0 : ExitNoAnswer);
}

// GoogleTest's start is the first point where every static object of the program is built.
class LimitedChildStart : public ::testing::EmptyTestEventListener {
 public:
  explicit LimitedChildStart(std::string request) : request_(std::move(request)) {}
  void OnTestProgramStart(const ::testing::UnitTest&) override { ServeLoad(request_.c_str()); }

 private:
  std::string request_;
};

const bool ChildStartHooked = [] {
  const char* request = std::getenv(RequestVariable);
  if (request == nullptr || *request == '\0') return false;
  ::testing::UnitTest::GetInstance()->listeners().Append(new LimitedChildStart(request));
  return true;
}();

// This process's environment with the request added (and any inherited request dropped).
std::vector<wchar_t> ChildEnvironment(const std::string& request) {
  std::vector<wchar_t> block;
  const std::string variable = std::string(RequestVariable) + "=";
  const std::wstring name(variable.begin(), variable.end());
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      if (_wcsnicmp(entry, name.c_str(), name.size()) == 0) continue;
      block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    FreeEnvironmentStringsW(strings);
  }
  const std::wstring added = name + std::wstring(request.begin(), request.end());
  block.insert(block.end(), added.c_str(), added.c_str() + added.size() + 1);
  block.push_back(L'\0');
  return block;
}

HANDLE LimitsJob(int seconds, long megabytes) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  // The child's own watch ends it first; the job's time limit, a second later, backs it up.
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_PROCESS_TIME |
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  limits.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart =
      (static_cast<LONGLONG>(seconds) + 1) * 10000000;
  limits.ProcessMemoryLimit = static_cast<SIZE_T>(megabytes) << 20;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

// One child; `begun` tells whether it reached the load.
LimitedLoad LoadOnce(int (*load)(const std::string& path), const std::string& path, int seconds,
                     long megabytes, bool& begun) {
  LimitedLoad result;
  begun = false;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  // The child's own output (GoogleTest's banner) is of no interest.
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);

  const long long offset = static_cast<long long>(reinterpret_cast<std::intptr_t>(load) -
                                                  reinterpret_cast<std::intptr_t>(&LoadInLimitedChild));
  const std::string request = std::to_string(offset) + " " +
                              std::to_string(reinterpret_cast<std::uintptr_t>(writeEnd)) + " " +
                              std::to_string(seconds) + " " + std::to_string(megabytes) + " " +
                              Hex(path);
  std::vector<wchar_t> environment = ChildEnvironment(request);
  wchar_t program[MAX_PATH];
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(program) + L"\"";

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing;
  PROCESS_INFORMATION child{};
  HANDLE job = LimitsJob(seconds, megabytes);
  const auto start = std::chrono::steady_clock::now();
  // No console: under wine a console of the child's own costs a conhost process as well.
  const bool started =
      CreateProcessW(program, commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS,
                     environment.data(), nullptr, &startup, &child);
  CloseHandle(writeEnd);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (!started) {
    CloseHandle(readEnd);
    if (job != nullptr) CloseHandle(job);
    return result;
  }
  if (job != nullptr) AssignProcessToJobObject(job, child.hProcess);
  // The parent reads as the child writes (the child waits for that before it ends), until the
  // child's end of the pipe closes with it.
  std::string received;
  std::thread reader([readEnd, &received] {
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
      received.append(buffer, got);
  });
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);

  // The machine is shared: the limit is on processor time; the wall clock only catches a child
  // that waits for nothing.
  const DWORD wallMs = static_cast<DWORD>(seconds) * 10000;
  bool wallClock = false;
  if (WaitForSingleObject(child.hProcess, wallMs) == WAIT_TIMEOUT) {
    TerminateProcess(child.hProcess, ExitWallClock);
    WaitForSingleObject(child.hProcess, INFINITE);
    wallClock = true;
  }
  result.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  DWORD code = ExitNoAnswer;
  GetExitCodeProcess(child.hProcess, &code);
  reader.join();
  CloseHandle(readEnd);
  std::uint32_t word = 0;
  Answer answer{};
  begun = received.size() >= sizeof word &&
          (std::memcpy(&word, received.data(), sizeof word), word == Begun);
  const bool answered = begun && received.size() == sizeof word + sizeof answer;
  if (answered) std::memcpy(&answer, received.data() + sizeof word, sizeof answer);

  // Where the job does keep accounts (Windows itself, not wine), they stand in for a child that
  // could not answer.
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounts{};
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION peaks{};
  if (job != nullptr) {
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounts, sizeof accounts,
                              nullptr);
    QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &peaks, sizeof peaks, nullptr);
    CloseHandle(job);
  }
  CloseHandle(child.hProcess);
  result.exitCode = code;
  if (answered && code == 0) {
    result.cpuSeconds = answer.cpuSeconds;
    result.maxRssKb = static_cast<long>(answer.peakKb);
  } else {
    result.cpuSeconds = static_cast<double>(accounts.TotalUserTime.QuadPart +
                                            accounts.TotalKernelTime.QuadPart) / 1e7;
    result.maxRssKb = static_cast<long>(peaks.PeakProcessMemoryUsed >> 10);
  }

  const bool jobTime =
      accounts.TotalUserTime.QuadPart >= static_cast<LONGLONG>(seconds + 1) * 10000000;
  if (wallClock || code == ExitOverTime || jobTime) {
    result.outcome = LoadOutcome::OverTime;
    return result;
  }
  if (code == ExitOutOfMemory) {
    result.outcome = LoadOutcome::OverMemory;
    return result;
  }
  if (!answered || code != 0) return result;
  result.outcome = LoadOutcome::Finished;
  result.route = answer.route;
  result.width = answer.width;
  result.height = answer.height;
  result.depth = answer.depth;
  return result;
}

}  // namespace

bool AddressSanitized() { return false; }

LimitedLoad LoadInLimitedChild(int (*load)(const std::string& path), const std::string& path,
                               int seconds, long megabytes) {
  LimitedLoad result;
  for (int attempt = 0; attempt < StartAttempts; ++attempt) {
    bool begun = false;
    result = LoadOnce(load, path, seconds, megabytes, begun);
    if (begun) break;
  }
  return result;
}

#endif  // _WIN32
