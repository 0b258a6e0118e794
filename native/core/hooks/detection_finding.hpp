// What a detection of the peer analysis says as a finding: its event type, summary and
// details, in the order the details are shown. A phase name keeps the bytes the report
// had (see common/finding.hpp).
#pragma once

#include "../common/finding.hpp"
#include "peer_analysis.hpp"

namespace corvane::monitor {

// Every detection is a "WARN".
Finding describe(const Detection& d);

}  // namespace corvane::monitor
