// What one line of job output says: fault signatures and progress samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "../common/fault_catalogue.hpp"

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
  // An error form of the fault catalogue, and the rank the line names.
  const JobErrorForm* job_error = nullptr;
  std::optional<std::int64_t> rank;
  std::optional<std::int64_t> signal;  // the signal that ended a torchrun worker

  bool any_finding() const { return divergence || xid || ecc_dbe || job_error != nullptr; }
};

// Pure function of the line (UTF-8); safe to call from any thread without the GIL.
OutputLineScan scan_output_line(std::string_view line);

}  // namespace corvane::monitor
