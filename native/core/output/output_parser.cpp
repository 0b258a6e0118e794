#include "output_parser.hpp"

#include <cmath>

#include "../common/pynum.hpp"
#include "../kernel_log/xid_codes.hpp"
#include "patterns.hpp"

namespace corvane::monitor {
namespace {

// `value` times ten to the exponent that `rest` starts with ("e+15", "E-3"), if any.
double with_exponent(double value, std::string_view rest) {
  if (rest.size() < 2 || (rest[0] != 'e' && rest[0] != 'E')) return value;
  std::size_t i = 1;
  bool negative = rest[i] == '-';
  if (rest[i] == '+' || rest[i] == '-') ++i;
  int exponent = 0;
  std::size_t digits = 0;
  for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && digits < 4; ++i, ++digits) {
    exponent = exponent * 10 + (rest[i] - '0');
  }
  if (digits == 0) return value;
  return value * std::pow(10.0, negative ? -exponent : exponent);
}

// The signal that ended a worker, from torchrun's "failed (exitcode: -9)".
std::optional<std::int64_t> exit_signal(std::string_view line) {
  constexpr std::string_view kExit = "exitcode: -";
  std::size_t at = line.find(kExit);
  if (at == std::string_view::npos) return std::nullopt;
  std::int64_t value = 0;
  std::size_t digits = 0;
  for (std::size_t i = at + kExit.size();
       i < line.size() && line[i] >= '0' && line[i] <= '9' && digits < 4; ++i, ++digits) {
    value = value * 10 + (line[i] - '0');
  }
  if (digits == 0) return std::nullopt;
  return value;
}

}  // namespace

OutputLineScan scan_output_line(std::string_view line) {
  OutputLineScan out;
  Match m;
  out.divergence = nan_inf_regex().search(line, nullptr);
  if (xid_regex().search(line, &m)) {
    std::string_view digits = m.group[1].of(line);
    std::size_t first = digits.find_first_not_of('0');
    out.xid = true;
    out.xid_digits =
        first == std::string_view::npos ? digits.substr(digits.size() - 1) : digits.substr(first);
    out.xid_critical = is_critical_xid_digits(out.xid_digits);
  }
  out.ecc_dbe = search_ecc(line).has_value();
  if (loss_regex().search(line, &m)) {
    out.has_loss = true;
    out.loss = parse_unsigned_decimal(m.group[1].of(line));
    out.loss_value = with_exponent(out.loss, line.substr(m.group[1].end));
  }
  if (step_regex().search(line, &m)) {
    out.has_step_time = true;
    out.step_time = parse_unsigned_decimal(m.group[1].of(line));
  }
  out.job_error = find_job_error(line);
  if (out.job_error) {
    out.rank = named_rank(line);
    if (out.job_error->signature == "torchrun_child_failed") out.signal = exit_signal(line);
  }
  return out;
}

}  // namespace corvane::monitor
