// Severities, event types and the GPU driver error (XID) tables shared by the detectors.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace corvane::monitor {

// XIDs that mean the GPU or its memory can no longer be trusted.
inline constexpr std::array<std::int64_t, 11> kCriticalXids = {31, 43, 48, 63,  64, 74,
                                                               79, 94, 95, 119, 120};

bool is_critical_xid(std::int64_t xid);

// Short description of an XID; "GPU fault" for codes without one.
std::string_view xid_description(std::int64_t xid);

// Critical test for an XID given as decimal digits of any length.
bool is_critical_xid_digits(std::string_view digits);

}  // namespace corvane::monitor
