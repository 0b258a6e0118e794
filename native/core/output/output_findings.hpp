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
// its code ("xid", from the scan's digits).
std::vector<Finding> output_findings(const OutputLineScan& scan);

// The pipe can no longer be read while the job may still run; `error` says why.
Finding output_lost_finding(const std::string& error);

}  // namespace corvane::monitor
