#include "pyfloat.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace corvane {

std::string py_format_fixed(double x, int digits) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  // Up to 309 integer digits plus sign, point and the fraction.
  std::vector<char> buf(400 + static_cast<std::size_t>(digits));
  auto res =
      std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::fixed, digits);
  return std::string(buf.data(), res.ptr);
}

double py_round(double x, int ndigits) {
  if (!std::isfinite(x) || x == 0.0) return x;
  std::string text = py_format_fixed(x, ndigits);
  double out = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), out);
  // A result of zero keeps the sign of x, as the host's round(-0.001, 2) gives -0.0.
  if (out == 0.0) return std::copysign(0.0, x);
  return out;
}

}  // namespace corvane
