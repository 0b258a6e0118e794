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

TEST(HostFormat, FixedDigitsAsTheHostWritesThem) {
  EXPECT_EQ(py_format_fixed(2.675, 2), "2.67");
  EXPECT_EQ(py_format_fixed(0.5, 0), "0");
  EXPECT_EQ(py_format_fixed(1.5, 0), "2");
  EXPECT_EQ(py_format_fixed(-0.0, 1), "-0.0");
  EXPECT_EQ(py_format_fixed(std::numeric_limits<double>::infinity(), 2), "inf");
  EXPECT_EQ(py_format_fixed(-std::numeric_limits<double>::infinity(), 2), "-inf");
  EXPECT_EQ(py_format_fixed(std::nan(""), 2), "nan");
  EXPECT_EQ(py_format_fixed(1e20, 1), "100000000000000000000.0");
}

TEST(HostFloatParse, CorrectlyRoundedDecimals) {
  EXPECT_EQ(parse_unsigned_decimal("0.1"), 0.1);
  EXPECT_EQ(parse_unsigned_decimal("2.5"), 2.5);
  EXPECT_EQ(parse_unsigned_decimal("007"), 7.0);
  // Halfway between two doubles, decided by a digit far to the right.
  EXPECT_EQ(parse_unsigned_decimal("9007199254740993"), 9007199254740992.0);
  EXPECT_EQ(parse_unsigned_decimal("9007199254740993.0000000000000001"), 9007199254740994.0);
  EXPECT_EQ(parse_unsigned_decimal(std::string(400, '9')), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_unsigned_decimal("0." + std::string(400, '0') + "1"), 0.0);
}

}  // namespace
}  // namespace corvane
