// What a detection of the peer analysis says as a finding: its event type, summary and
// details, in the order the details are shown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "peer_analysis.hpp"

namespace corvane::monitor {

inline constexpr std::string_view kDetectionSeverity = "WARN";

struct DetectionText {
  std::string_view event_type;
  std::string summary;  // UTF-8; a phase name's bytes as the report had them
};
DetectionText describe(const Detection& d);

// A detail's value: a whole number, a number, a number or none, a flag, a text (a phase
// name's bytes as the report had them), or the peers' ranks.
using DetailValue = std::variant<std::int64_t, double, std::optional<double>, bool, std::string,
                                 std::vector<std::int64_t>>;
using Details = std::vector<std::pair<std::string_view, DetailValue>>;

Details detection_details(const Detection& d);

}  // namespace corvane::monitor
