#include "pyfloat.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
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

std::string py_float_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  // The shortest round-trip digits, as "-d.ddde+XX".
  std::array<char, 64> buf{};
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::scientific);
  std::string_view text(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
  std::string out;
  if (text.front() == '-') {
    out = "-";
    text.remove_prefix(1);
  }
  std::size_t e = text.find('e');
  std::string digits(text.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point after the first digit
  int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  int point = exponent + 1;  // digits before the decimal point
  auto n = static_cast<int>(digits.size());
  if (point <= -4 || point > 16) {
    out += digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    std::string power = std::to_string(std::abs(exponent));
    if (power.size() < 2) power.insert(0, "0");
    return out + (exponent < 0 ? "e-" : "e+") + power;
  }
  if (point <= 0) return out + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  if (point >= n)
    return out + digits + std::string(static_cast<std::size_t>(point - n), '0') + ".0";
  return out + digits.substr(0, static_cast<std::size_t>(point)) + "." +
         digits.substr(static_cast<std::size_t>(point));
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
