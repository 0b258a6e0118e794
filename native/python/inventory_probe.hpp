// The GPU count of the runner's loop, taken without holding the loop up.
#pragma once

#include <optional>

#include "monitoring_host.hpp"

namespace corvane::bindings {

// detect_gpu_inventory runs on a helper thread, so a tool that hangs holds up neither the
// loop nor the end of the job. `stop_event` (the job's stop event, also set at interpreter
// exit) ends the tool when the service takes a stop event.
class InventoryProbe {
 public:
  explicit InventoryProbe(nb::handle stop_event);

  // Waits up to `seconds` for a count, less once `child` (the job's process) has exited,
  // starting a query when none is running. Nothing while the tool has not answered, or
  // when it gave no answer in time (then nothing is known about the GPUs). An error of the
  // service is raised here.
  std::optional<Py_ssize_t> count(double seconds, nb::handle child);

 private:
  nb::object stop_, thread_, cell_;
};

}  // namespace corvane::bindings
