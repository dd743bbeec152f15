// SPDX-License-Identifier: MIT
// Loads one file in a child process under processor-time and memory limits, so that a crash, a hang
// or a bloat in a reader shows up as the outcome of that file instead of ending the test program.
// POSIX forks the child; Windows starts this program again (a GoogleTest program), so there the
// load runs in a fresh process and must itself set up what it needs, decoders included.
#pragma once

#include <string>

enum class LoadOutcome { Finished, Crashed, OverTime, OverMemory };

struct LimitedLoad {
  LoadOutcome outcome = LoadOutcome::Crashed;
  int route = 0;  // what the load answered: 0 when it made no image
  int width = 0;  // image 0 after the load (0 when there is none)
  int height = 0;
  int depth = 0;
  double cpuSeconds = 0;  // processor time of the child, user and system
  double wallSeconds = 0;
  long maxRssKb = 0;
  int signal = 0;  // the signal that ended the child, if one did
  unsigned long exitCode = 0;  // Windows: the child's exit code (an exception code for a crash)
};

// True in builds with AddressSanitizer, whose shadow reserves terabytes of address space: there
// an address-space limit cannot be set, and the resident size stands in for it.
bool AddressSanitized();

// Runs `load` in a child with `seconds` of processor time (and ten times that on the wall clock,
// for a child that waits for nothing) and `megabytes` of address space (Windows: of private
// memory). `load` returns 0 when it made no image 0, any other number (its route) when it did; a
// child whose answer and store disagree counts as crashed.
LimitedLoad LoadInLimitedChild(int (*load)(const std::string& path), const std::string& path,
                               int seconds, long megabytes);
