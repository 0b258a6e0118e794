// The core tests' reading of the recorded tool and service output under tests/fixtures.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace corvane::test_support {

// The whole text of recorded/<path> ("nvidia-smi/query.csv"); a missing file fails the test.
inline std::string recorded_fixture(const std::string& path) {
  std::ifstream in(std::string(CORVANE_FIXTURES) + "/recorded/" + path);
  EXPECT_TRUE(in.good()) << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace corvane::test_support
