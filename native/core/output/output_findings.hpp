// The findings a line of job output gives, and what the reader says when the pipe fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../common/finding.hpp"
#include "output_parser.hpp"

namespace corvane::monitor {

// The findings of a scanned line, in order: divergence, Xid, ECC double-bit error. Their
// details hold the "line" (kept value 0: the host's line as it was), and for an Xid also
// its code ("xid", from the scan's digits). `with_catalogue` (the monitor's reader) adds a
// job error's finding and the fault catalogue's class and action; without it they are the
// line parser's own findings, as its callers know them.
std::vector<Finding> output_findings(const OutputLineScan& scan, bool with_catalogue = true);

// The pipe can no longer be read while the job may still run; `error` says why.
Finding output_lost_finding(const std::string& error);

}  // namespace corvane::monitor
