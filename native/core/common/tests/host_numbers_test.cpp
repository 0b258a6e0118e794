#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

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

TEST(HostFloatRepr, ShortestDigitsInTheHostsNotation) {
  struct Case {
    double x;
    const char* repr;
  };
  for (const Case& c : std::vector<Case>{{85.0, "85.0"},
                                         {0.1, "0.1"},
                                         {100.0, "100.0"},
                                         {123.456, "123.456"},
                                         {1e15, "1000000000000000.0"},
                                         {1e16, "1e+16"},
                                         {1e22, "1e+22"},
                                         {12345678901234567.0, "1.2345678901234568e+16"},
                                         {0.0001, "0.0001"},
                                         {0.00001, "1e-05"},
                                         {1.5e-7, "1.5e-07"},
                                         {-2.5e-5, "-2.5e-05"},
                                         {-0.0, "-0.0"},
                                         {5e-324, "5e-324"},
                                         {1.7976931348623157e+308, "1.7976931348623157e+308"},
                                         {std::numeric_limits<double>::infinity(), "inf"},
                                         {-std::numeric_limits<double>::infinity(), "-inf"},
                                         {std::nan(""), "nan"}}) {
    EXPECT_EQ(py_float_repr(c.x), c.repr) << c.repr;
  }
}

}  // namespace
}  // namespace corvane
