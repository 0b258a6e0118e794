// What one line of job output says: fault signatures and progress samples.
#pragma once

#include <string_view>

namespace corvane::monitor {

struct OutputLineScan {
  bool divergence = false;  // NaN/Inf printed
  bool xid = false;
  bool xid_critical = false;
  std::string_view xid_digits;  // the code's decimal digits, leading zeros removed
  bool ecc_dbe = false;
  bool has_loss = false;
  double loss = 0.0;
  // The loss with the exponent the sample leaves out ("loss: 3e+15" is the sample 3.0 and
  // the value 3e15), for watching the loss's level.
  double loss_value = 0.0;
  bool has_step_time = false;
  double step_time = 0.0;

  bool any_finding() const { return divergence || xid || ecc_dbe; }
};

// Pure function of the line (UTF-8); safe to call from any thread without the GIL.
OutputLineScan scan_output_line(std::string_view line);

}  // namespace corvane::monitor
