#include "xid_codes.hpp"

#include <algorithm>

namespace corvane::monitor {

bool is_critical_xid(std::int64_t xid) {
  return std::find(kCriticalXids.begin(), kCriticalXids.end(), xid) != kCriticalXids.end();
}

std::string_view xid_description(std::int64_t xid) {
  switch (xid) {
    case 31:
      return "GPU memory page fault";
    case 43:
      return "GPU stopped processing";
    case 48:
      return "DBE ECC error";
    case 63:
    case 64:
      return "MMU fault";
    case 74:
      return "NVLink error";
    case 79:
      return "GPU fell off the bus";
    case 94:
      return "Contained ECC error";
    case 95:
      return "Uncontained ECC error";
    case 119:
      return "Row remap failure";
    case 120:
      return "C2C or memory fabric fault";
    default:
      return "GPU fault";
  }
}

bool is_critical_xid_digits(std::string_view digits) {
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string_view::npos) return false;  // all zeros: XID 0
  digits.remove_prefix(first);
  if (digits.size() > 3) return false;
  std::int64_t value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return is_critical_xid(value);
}

}  // namespace corvane::monitor
