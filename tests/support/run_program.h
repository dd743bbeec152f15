// SPDX-License-Identifier: MIT
// Runs another program without a shell and captures what it writes, on POSIX and Windows alike.
#pragma once

#include <string>
#include <vector>

struct ProgramRun {
  int status = -1;  // the exit status; -1 when the program could not start or did not exit
  std::string out;  // everything it wrote on standard output
  std::string err;  // everything it wrote on standard error
};

// Runs `program` with `arguments` (each passed as it is, no shell), standard input empty, and
// waits for it to end.
ProgramRun RunAndCapture(const std::string& program, const std::vector<std::string>& arguments);
