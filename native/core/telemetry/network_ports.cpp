#include "network_ports.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "../common/fault_catalogue.hpp"

namespace corvane::monitor {
namespace {

namespace fs = std::filesystem;

// The error counters worth a finding when they grow (the others count traffic or waits).
constexpr const char* kErrorCounters[] = {
    "link_downed",
    "link_error_recovery",
    "symbol_error",
    "port_rcv_errors",
    "port_rcv_remote_physical_errors",
    "port_xmit_discards",
    "local_link_integrity_errors",
    "excessive_buffer_overrun_errors",
};

std::optional<std::string> read_small(const fs::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string text(256, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The leading number of "4: ACTIVE", "400 Gb/sec (4X NDR)" or a counter.
std::optional<double> leading_number(const std::string& text) {
  double value = 0.0, scale = 0.0;
  bool any = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      any = true;
      if (scale == 0.0) {
        value = value * 10 + (c - '0');
      } else {
        value += (c - '0') * scale;
        scale /= 10;
      }
    } else if (c == '.' && scale == 0.0) {
      scale = 0.1;
    } else {
      break;
    }
  }
  return any ? std::optional<double>(value) : std::nullopt;
}

Finding port_finding(std::string_view type, std::string_view severity, std::string summary,
                     const std::string& port, FaultAction action) {
  Finding f{type, severity, std::move(summary), {{"port", DetailValue::string(port)}}};
  add_fault_details(f.details, {FaultClass::kNetwork, action});
  return f;
}

}  // namespace

std::string network_root() {
  const char* env = std::getenv("CORVANE_IB_SYSFS_ROOT");
  return env != nullptr && *env != '\0' ? env : kDefaultNetworkRoot;
}

std::vector<Finding> NetworkPortWatch::poll() {
  std::vector<Finding> out;
  std::error_code ec;
  std::vector<fs::path> port_dirs;
  for (const auto& dev : fs::directory_iterator(root_, ec)) {
    std::error_code ec2;
    for (const auto& port : fs::directory_iterator(dev.path() / "ports", ec2)) {
      port_dirs.push_back(port.path());
    }
  }
  std::sort(port_dirs.begin(), port_dirs.end());
  for (const fs::path& dir : port_dirs) {
    const std::string name =
        dir.parent_path().parent_path().filename().string() + "/" + dir.filename().string();
    PortState& st = ports_[name];
    auto state = read_small(dir / "state");
    auto phys = read_small(dir / "phys_state");
    if (state && phys) {
      bool down = leading_number(*state) != 4.0 || leading_number(*phys) != 5.0;
      if (down && !st.down_told) {
        Finding f =
            port_finding("ib_port_down", "CRITICAL",
                         "Network port " + name + " is not up (" + *state + ", " + *phys + ")",
                         name, FaultAction::kInspectHardware);
        f.details.emplace_back("state", DetailValue::string(*state));
        f.details.emplace_back("phys_state", DetailValue::string(*phys));
        out.push_back(std::move(f));
      }
      st.down_told = down;
    }
    if (auto rate_text = read_small(dir / "rate")) {
      auto rate = leading_number(*rate_text);
      if (rate && st.first_rate == 0.0) st.first_rate = *rate;
      bool slow = rate && *rate < st.first_rate;
      if (slow && !st.slow_told) {
        Finding f = port_finding("ib_port_degraded", "WARN",
                                 "Network port " + name + " runs at " + *rate_text, name,
                                 FaultAction::kInspectHardware);
        f.details.emplace_back("rate", DetailValue::string(*rate_text));
        out.push_back(std::move(f));
      }
      st.slow_told = slow;
    }
    for (const char* counter : kErrorCounters) {
      auto text = read_small(dir / "counters" / counter);
      auto value = text ? leading_number(*text) : std::nullopt;
      if (!value) continue;
      auto now = static_cast<std::uint64_t>(*value);
      auto seen = st.counters.find(counter);
      if (seen != st.counters.end() && now > seen->second) {
        bool hard = std::string_view(counter) == "link_downed";
        Finding f =
            port_finding("ib_port_errors", hard ? "CRITICAL" : "WARN",
                         "Network port " + name + " counted " + std::to_string(now - seen->second) +
                             " " + counter,
                         name, hard ? FaultAction::kInspectHardware : FaultAction::kNothing);
        f.details.emplace_back("counter", DetailValue::string(counter));
        f.details.emplace_back("delta",
                               DetailValue::integer(static_cast<std::int64_t>(now - seen->second)));
        out.push_back(std::move(f));
      }
      st.counters[counter] = now;
    }
  }
  return out;
}

}  // namespace corvane::monitor
