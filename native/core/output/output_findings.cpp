#include "output_findings.hpp"

#include "../common/fault_catalogue.hpp"

namespace corvane::monitor {
namespace {

// The Xid's code when it fits the catalogue's range; longer codes are no listed Xid.
std::int64_t xid_code(std::string_view digits) {
  if (digits.size() > 6) return -1;
  std::int64_t value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

}  // namespace

std::vector<Finding> output_findings(const OutputLineScan& scan, bool with_catalogue) {
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
    if (with_catalogue) add_fault_details(out.back().details, xid_fault(xid_code(scan.xid_digits)));
  }
  if (scan.ecc_dbe) {
    out.push_back(
        {"ecc_dbe", "CRITICAL", "Detected ECC uncorrectable signal in job output", {line}});
  }
  if (with_catalogue && scan.job_error) {
    const JobErrorForm& form = *scan.job_error;
    std::string summary(form.description);
    summary += " in job output";
    Details details{line, {"signature", DetailValue::string(std::string(form.signature))}};
    add_fault_details(details, {form.fault_class, form.action});
    details.push_back({"rank", scan.rank ? DetailValue::integer(*scan.rank) : DetailValue::none()});
    if (form.signature == "torchrun_child_failed") {
      details.push_back(
          {"signal", scan.signal ? DetailValue::integer(*scan.signal) : DetailValue::none()});
    }
    out.push_back({"job_error", form.severity, summary, std::move(details)});
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
