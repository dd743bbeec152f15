// SPDX-License-Identifier: MIT
// Helpers shared by the test programs: where the data lives, and small images in the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// $NIMBREL_SHARED (the shared corpora and stereograms), or "" when absent or not a directory.
std::string SharedDir();
// $NIMBREL_FIXTURES (the project's own small test files).
std::string FixturesDir();
// The built nimbrel-cli ($NIMBREL_BINARY_DIR/cli/nimbrel-cli, .exe on Windows), or "" when it
// is not there.
std::string CliProgram();
// A fresh, empty directory for one test's files.
std::string MakeTempDir();

// Creates image `number` of the given depth from words (width x height, top-down).
bool PutImage(int number, int width, int height, int depth, const std::vector<std::uint32_t>& words);
// The words of image `number`, or empty when it does not exist.
std::vector<std::uint32_t> GetImage(int number);

// Writes bytes to a file; returns the path.
std::string WriteFile(const std::string& path, const std::string& bytes);
