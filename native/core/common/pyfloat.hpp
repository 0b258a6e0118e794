// Float rounding and formatting with the host's exact results.
#pragma once

#include <string>

namespace corvane {

// round(x, ndigits) as the host computes it: the decimal correctly rounded from the exact
// binary value (ties to even), read back as the nearest double.
double py_round(double x, int ndigits);

// format(x, ".{digits}f") as the host writes it ("inf", "nan", "-0" included).
std::string py_format_fixed(double x, int digits);

}  // namespace corvane
