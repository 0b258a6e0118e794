// Float rounding and formatting with the host's exact results.
#pragma once

#include <string>

namespace corvane {

// round(x, ndigits) as the host computes it: the decimal correctly rounded from the exact
// binary value (ties to even), read back as the nearest double.
double py_round(double x, int ndigits);

// format(x, ".{digits}f") as the host writes it ("inf", "nan", "-0" included).
std::string py_format_fixed(double x, int digits);

// repr(x) as the host writes it: the shortest text that reads back as x, in fixed notation
// with ".0" for whole numbers when its decimal point falls within 16 digits of the first,
// else as "1.5e-07" / "1e+16".
std::string py_float_repr(double x);

}  // namespace corvane
