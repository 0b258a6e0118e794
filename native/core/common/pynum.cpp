#include "pynum.hpp"

#include <locale.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace corvane {

double parse_unsigned_decimal(std::string_view text) {
  double value = 0.0;
  auto [ptr, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (ec == std::errc() && ptr == text.data() + text.size()) return value;
  // Out of range (or an unusually long literal): the C library rounds correctly and
  // saturates to inf / underflows to zero the way the host does; the "C" locale keeps
  // the decimal point a point whatever the process locale is.
  static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  std::string copy(text);
  return strtod_l(copy.c_str(), nullptr, c_locale);
}

}  // namespace corvane
