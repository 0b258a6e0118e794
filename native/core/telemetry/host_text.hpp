// Text rules of the host's str methods that the tool readers depend on: its line breaks,
// its white space and its int() and float() of a text. Text is UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

// str.splitlines(): \n, \r, \r\n, \v, \f, \x1c-\x1e, U+0085, U+2028 and U+2029 end a line.
std::vector<std::string_view> split_lines(std::string_view text);

// str.strip() with no argument: white space as the host's str.isspace() knows it.
std::string_view strip_space(std::string_view text);

// str.split(",") with every field stripped.
std::vector<std::string_view> split_fields(std::string_view line);

// float(text): decimal digits (with "_" between digits), "inf", "infinity" and "nan", with
// surrounding white space. Nothing where the host raises ValueError; digits other than
// ASCII ones are read as no number.
std::optional<double> parse_host_float(std::string_view text);

// int(text) in base 10, as its canonical decimal digits ("-12", "0"; any size): nothing
// where the host raises ValueError.
std::optional<std::string> parse_host_int(std::string_view text);

// The canonical decimal digits of a whole, finite double: int(x) as the host prints it.
std::string whole_number_text(double x);

}  // namespace corvane::monitor
