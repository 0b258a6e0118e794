#include "output_parser.hpp"

#include "../common/pynum.hpp"
#include "../kernel_log/xid_codes.hpp"
#include "patterns.hpp"

namespace corvane::monitor {

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
  }
  if (step_regex().search(line, &m)) {
    out.has_step_time = true;
    out.step_time = parse_unsigned_decimal(m.group[1].of(line));
  }
  return out;
}

}  // namespace corvane::monitor
