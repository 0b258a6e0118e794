#include "output_findings.hpp"

namespace corvane::monitor {

std::vector<Finding> output_findings(const OutputLineScan& scan) {
  std::vector<Finding> out;
  const std::pair<std::string, DetailValue> line{"line", DetailValue::kept(0)};
  if (scan.divergence) {
    out.push_back({"training_divergence", "WARN", "Detected NaN/Inf in training output", {line}});
  }
  if (scan.xid) {
    std::string summary = "Detected XID ";
    summary.append(scan.xid_digits);
    summary += " in job output";
    out.push_back({"xid_critical",
                   scan.xid_critical ? "CRITICAL" : "WARN",
                   summary,
                   {line, {"xid", DetailValue::digits(std::string(scan.xid_digits))}}});
  }
  if (scan.ecc_dbe) {
    out.push_back(
        {"ecc_dbe", "CRITICAL", "Detected ECC uncorrectable signal in job output", {line}});
  }
  return out;
}

Finding output_lost_finding(const std::string& error) {
  return {"monitor_degraded",
          "WARN",
          "The job's output is no longer watched",
          {{"source", DetailValue::string("output")}, {"error", DetailValue::string(error)}}};
}

}  // namespace corvane::monitor
