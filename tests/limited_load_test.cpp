// SPDX-License-Identifier: MIT
// The limited child that the corpus tests and the hostile sweep load files in: each way a load can
// end must come back as its own outcome, or a crashing reader would pass as a refusal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/limited_load.h"
#include "support/test_support.h"

namespace {

int MakesNoImage(const std::string&) { return 0; }

int MakesAnImage(const std::string&) {
  return PutImage(0, 3, 2, 24, std::vector<std::uint32_t>(6, 0x00102030u)) ? 7 : 0;
}

int ClaimsAnImageItDidNotMake(const std::string&) {
  FreeImage(0);
  return 2;
}

int WritesThroughNull(const std::string&) {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
  return 0;
}

int Aborts(const std::string&) { std::abort(); }

int Spins(const std::string&) {
  volatile unsigned long turns = 0;
  for (;;) turns = turns + 1;
}

int Bloats(const std::string&) {
  std::vector<std::unique_ptr<char[]>> blocks;
  for (;;) {
    blocks.emplace_back(new char[1 << 20]);
    std::memset(blocks.back().get(), 1, 1 << 20);
  }
}

struct Case {
  const char* name;
  int (*load)(const std::string&);
  int seconds;  // the processor-time limit; under emulation an allocation loop needs more of it
  LoadOutcome outcome;
  int route, width, height, depth;
};

TEST(LimitedLoad, EachEndingComesBackAsItsOwnOutcome) {
  const Case cases[] = {
      {"no image", MakesNoImage, 1, LoadOutcome::Finished, 0, 0, 0, 0},
      {"an image", MakesAnImage, 1, LoadOutcome::Finished, 7, 3, 2, 24},
      {"answer and store disagree", ClaimsAnImageItDidNotMake, 1, LoadOutcome::Crashed, 0, 0, 0, 0},
      {"write through null", WritesThroughNull, 1, LoadOutcome::Crashed, 0, 0, 0, 0},
      {"abort", Aborts, 1, LoadOutcome::Crashed, 0, 0, 0, 0},
      {"endless loop", Spins, 1, LoadOutcome::OverTime, 0, 0, 0, 0},
      {"endless allocation", Bloats, 20, LoadOutcome::OverMemory, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Under AddressSanitizer no address-space limit can be set, and an endless allocation would
    // take the machine's memory.
    if (c.load == Bloats && AddressSanitized()) continue;
    const LimitedLoad child = LoadInLimitedChild(c.load, "unused", c.seconds, 256);
    EXPECT_EQ(static_cast<int>(child.outcome), static_cast<int>(c.outcome));
    if (c.outcome != LoadOutcome::Finished) continue;
    EXPECT_EQ(child.route, c.route);
    EXPECT_EQ(child.width, c.width);
    EXPECT_EQ(child.height, c.height);
    EXPECT_EQ(child.depth, c.depth);
  }
}

}  // namespace
