#include "output_findings.hpp"

namespace corvane::monitor {

std::vector<OutputFinding> output_findings(const OutputLineScan& scan) {
  std::vector<OutputFinding> out;
  if (scan.divergence) {
    out.push_back({"training_divergence", "WARN", "Detected NaN/Inf in training output"});
  }
  if (scan.xid) {
    std::string summary = "Detected XID ";
    summary.append(scan.xid_digits);
    summary += " in job output";
    out.push_back({"xid_critical", scan.xid_critical ? "CRITICAL" : "WARN", summary, true});
  }
  if (scan.ecc_dbe) {
    out.push_back({"ecc_dbe", "CRITICAL", "Detected ECC uncorrectable signal in job output"});
  }
  return out;
}

}  // namespace corvane::monitor
