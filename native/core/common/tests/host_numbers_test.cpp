#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../pyfloat.hpp"
#include "../pynum.hpp"

namespace corvane {
namespace {

TEST(HostRound, CorrectlyRoundedOnTheExactBinaryValue) {
  // 2.675 is 2.67499999... and 1.005 is 1.00499999... in binary: both round down.
  EXPECT_EQ(py_round(2.675, 2), 2.67);
  EXPECT_EQ(py_round(1.005, 2), 1.0);
  // Exact ties go to even.
  EXPECT_EQ(py_round(0.125, 2), 0.12);
  EXPECT_EQ(py_round(0.375, 2), 0.38);
  EXPECT_EQ(py_round(-0.001, 2), -0.0);
  EXPECT_TRUE(std::signbit(py_round(-0.001, 2)));
  EXPECT_EQ(py_round(1e300, 2), 1e300);
  EXPECT_TRUE(std::isnan(py_round(std::nan(""), 2)));
}

}  // namespace
}  // namespace corvane
