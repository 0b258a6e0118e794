// Number conversions that give the host's answers.
#pragma once

#include <string_view>

namespace corvane {

// float(text) for an unsigned decimal "digits[.digits]": correctly rounded, inf when
// too large, 0.0 when too small, exactly as the host's float() does.
double parse_unsigned_decimal(std::string_view text);

}  // namespace corvane
