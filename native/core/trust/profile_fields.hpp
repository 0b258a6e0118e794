// The fields of a GPU profile, which of them a cluster's overrides may replace, what each
// must hold, and the one-line summary of a profile.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::trust {

// What a field holds. The identity of a profile (its name, fragments and vendor) is not
// overridable: override entries for it are ignored.
enum class FieldKind { kIdentity, kNumber, kOptionalNumber, kCount, kOptionalBool };

struct ProfileField {
  const char* name;
  FieldKind kind;
};

constexpr std::size_t kProfileFieldCount = 21;

// The fields in the record's order.
const std::array<ProfileField, kProfileFieldCount>& profile_fields();

// Index of a field by name, or -1.
int profile_field_index(std::string_view name);

// "nvlink_expected_bw_gbps, nvlink_warn_bw_gbps, ...": the fields an override may set.
std::string overridable_field_names();

// What an override's value is, asked only as far as a field's kind needs (the answers may
// be costly or fail for odd values, so nothing is asked twice or in advance).
class ValueProbe {
 public:
  virtual ~ValueProbe() = default;
  virtual bool is_none() = 0;
  virtual bool is_bool() = 0;
  // A whole number >= 0 (not a bool).
  virtual bool is_count() = 0;
  // An int, a float or another real number (not a bool).
  virtual bool is_real() = 0;
  // Asked of real numbers only; an int too large for a float is not finite.
  virtual bool is_finite() = 0;
};

// Why an override entry cannot go into a profile.
struct OverrideProblem {
  enum class Kind { kType, kValue } kind;
  std::string message;  // "expected a number, got 'x'" or "not a GPUProfile field (...)"
};

// The problem with an override entry, or nothing when it can go in or is ignored (an
// identity field). `key` is nullopt when the key is not text; `shown_value` is the value's
// printed form (see shown()).
std::optional<OverrideProblem> override_problem(std::optional<std::string_view> key,
                                                ValueProbe& value, std::string_view shown_value);

// The error text for a refused override entry.
std::string override_error(std::string_view shown_key, const OverrideProblem& problem);

// A printed value cut to at most 80 characters (77 and "..."), so that an error message
// stays on one short line. Counts characters, not bytes, of UTF-8 text.
std::string shown(std::string_view printed);

// The parts of a profile's summary, each already printed as the host prints it.
struct ProfileSummary {
  std::string gpu;               // the reported name, or the profile's name
  std::string profile;           // the profile's name
  std::string reference_tflops;  // printed with no decimals ("None" when missing)
  std::string fp16_tflops;
  std::string memory_bw_gbps;
  std::optional<std::string> nvlink;  // nullopt: no NVLink figure (missing or zero)
  std::optional<bool> has_ecc;
};

// "GPU: <gpu> (detected profile: <profile>) | Reference target: <r> TFLOPS | Peak FP16: <f>
// TFLOPS | <m> GB/s memory | <nvlink> | ECC: yes|no|unknown"
std::string describe_profile(const ProfileSummary& s);

}  // namespace corvane::trust
