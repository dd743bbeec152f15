// SPDX-License-Identifier: MIT
// Runs another program without a shell: fork and exec on POSIX, CreateProcess on Windows.
#include "support/run_program.h"

#include <cerrno>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

// One argument quoted as the C runtime's command-line parser takes it apart again.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes double before a quote (which is escaped itself) and stand alone otherwise.
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

void Drain(HANDLE from, std::string& into) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) into.append(buffer, got);
  CloseHandle(from);
}

#else

void Drain(int from, std::string& into) {
  char buffer[4096];
  for (ssize_t got; (got = ::read(from, buffer, sizeof buffer)) != 0;) {
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
    } else if (errno != EINTR) {
      break;
    }
  }
  ::close(from);
}

#endif

}  // namespace

ProgramRun RunAndCapture(const std::string& program, const std::vector<std::string>& arguments) {
  ProgramRun run;
#ifdef _WIN32
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(&outRead, &outWrite, &inheritable, 0)) return run;
  if (!CreatePipe(&errRead, &errWrite, &inheritable, 0)) {
    CloseHandle(outRead);
    CloseHandle(outWrite);
    return run;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                               OPEN_EXISTING, 0, nullptr);
  std::string commandLine = Quoted(program);
  for (const std::string& argument : arguments) {
    commandLine += ' ';
    commandLine += Quoted(argument);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION child{};
  // No console: under wine a console of the child's own costs a conhost process as well.
  const bool started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      DETACHED_PROCESS, nullptr, nullptr, &startup, &child);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  std::thread errors(Drain, errRead, std::ref(run.err));
  Drain(outRead, run.out);
  errors.join();
  if (!started) return run;
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(child.hProcess, &code)) run.status = static_cast<int>(code);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
#else
  int out[2], err[2];
  if (::pipe(out) != 0) return run;
  if (::pipe(err) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]);
    ::close(err[0]);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  std::thread errors(Drain, err[0], std::ref(run.err));
  Drain(out[0], run.out);
  errors.join();
  int status = 0;
  if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
    run.status = WEXITSTATUS(status);
#endif
  return run;
}
