#include "host_text.hpp"

#include <locale.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace corvane::monitor {
namespace {

// The code point at `pos` and its length in bytes; a byte that starts no valid sequence is
// read as itself (it is neither white space nor a line break).
char32_t code_point_at(std::string_view s, std::size_t pos, std::size_t& len) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[pos + k]); };
  unsigned char c = b(0);
  len = 1;
  if (c < 0x80) return c;
  std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
  if (need == 0 || pos + need > s.size()) return 0xFFFD;
  char32_t cp = c & (0x7F >> need);
  for (std::size_t k = 1; k < need; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  len = need;
  return cp;
}

bool is_line_break(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E) || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits with single "_" between them, from `pos`; appends the digits to `out`. Returns
// whether there was at least one digit and no misplaced "_".
bool digit_part(std::string_view s, std::size_t& pos, std::string& out) {
  if (pos >= s.size() || !is_digit(s[pos])) return false;
  while (pos < s.size()) {
    if (is_digit(s[pos])) {
      out += s[pos++];
    } else if (s[pos] == '_' && pos + 1 < s.size() && is_digit(s[pos + 1])) {
      ++pos;
    } else {
      break;
    }
  }
  return true;
}

bool equals_lower(std::string_view s, std::string_view word) {
  if (s.size() != word.size()) return false;
  for (std::size_t k = 0; k < s.size(); ++k) {
    char c = s[k] >= 'A' && s[k] <= 'Z' ? static_cast<char>(s[k] - 'A' + 'a') : s[k];
    if (c != word[k]) return false;
  }
  return true;
}

// The number's text without "_", in the C library's syntax; nothing when it is no number.
std::optional<std::string> float_syntax(std::string_view s) {
  std::string out;
  std::size_t pos = 0;
  if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) out += s[pos++];
  std::string_view rest = s.substr(pos);
  if (equals_lower(rest, "inf") || equals_lower(rest, "infinity") || equals_lower(rest, "nan")) {
    return out + std::string(rest);
  }
  bool whole = digit_part(s, pos, out);
  bool fraction = false;
  if (pos < s.size() && s[pos] == '.') {
    out += s[pos++];
    fraction = digit_part(s, pos, out);
  }
  if (!whole && !fraction) return std::nullopt;
  if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
    out += s[pos++];
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) out += s[pos++];
    if (!digit_part(s, pos, out)) return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  return out;
}

}  // namespace

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0, pos = 0;
  while (pos < text.size()) {
    std::size_t len = 1;
    char32_t c = code_point_at(text, pos, len);
    if (!is_line_break(c)) {
      pos += len;
      continue;
    }
    lines.push_back(text.substr(start, pos - start));
    if (c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++len;
    pos += len;
    start = pos;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string_view strip_space(std::string_view text) {
  std::size_t begin = 0, len = 1;
  while (begin < text.size() && is_space(code_point_at(text, begin, len))) begin += len;
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t n = 1;
    char32_t c = code_point_at(text, start, n);
    if (start + n != end || !is_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    std::size_t comma = line.find(',');
    fields.push_back(strip_space(line.substr(0, comma)));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

std::optional<double> parse_host_float(std::string_view text) {
  std::optional<std::string> syntax = float_syntax(strip_space(text));
  if (!syntax) return std::nullopt;
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  // Correctly rounded; beyond the range it gives inf or 0, as the host does.
  return strtod_l(syntax->c_str(), nullptr, c_locale);
}

std::optional<std::string> parse_host_int(std::string_view text) {
  std::string_view s = strip_space(text);
  bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  std::string digits;
  std::size_t pos = 0;
  if (!digit_part(s, pos, digits) || pos != s.size()) return std::nullopt;
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return std::string("0");
  std::string out(negative ? 1 : 0, '-');
  out.append(digits, first, std::string::npos);
  return out;
}

std::string whole_number_text(double x) {
  if (x == 0) return "0";
  char buffer[400];  // the C library prints a double's exact value
  std::snprintf(buffer, sizeof buffer, "%.0f", std::trunc(x));
  return buffer;
}

}  // namespace corvane::monitor
