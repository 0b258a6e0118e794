#include "profile_fields.hpp"

namespace corvane::trust {

namespace {

using K = FieldKind;
constexpr std::array<ProfileField, kProfileFieldCount> kFields = {{
    {"name", K::kIdentity},
    {"match_substrings", K::kIdentity},
    {"nvlink_expected_bw_gbps", K::kOptionalNumber},
    {"nvlink_warn_bw_gbps", K::kOptionalNumber},
    {"nvlink_fail_bw_gbps", K::kOptionalNumber},
    {"nvlink_link_count", K::kCount},
    {"nccl_expected_busbw_gbps", K::kNumber},
    {"nccl_warn_busbw_gbps", K::kNumber},
    {"nccl_fail_busbw_gbps", K::kNumber},
    {"pcie_expected_gen", K::kCount},
    {"pcie_expected_width", K::kCount},
    {"fp16_tflops_expected", K::kNumber},
    {"reference_tflops_expected", K::kNumber},
    {"reference_tflops_warn", K::kNumber},
    {"reference_tflops_fail", K::kNumber},
    {"memory_bw_expected_gbps", K::kNumber},
    {"has_ecc", K::kOptionalBool},
    {"has_nvlink", K::kOptionalBool},
    {"tdp_watts", K::kNumber},
    {"matmul_size", K::kCount},
    {"vendor", K::kIdentity},
}};

// Whether a byte starts a character of UTF-8 text.
bool starts_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

}  // namespace

const std::array<ProfileField, kProfileFieldCount>& profile_fields() { return kFields; }

int profile_field_index(std::string_view name) {
  for (std::size_t i = 0; i < kProfileFieldCount; ++i) {
    if (name == kFields[i].name) return static_cast<int>(i);
  }
  return -1;
}

std::string overridable_field_names() {
  std::string names;
  for (const auto& f : kFields) {
    if (f.kind == K::kIdentity) continue;
    if (!names.empty()) names += ", ";
    names += f.name;
  }
  return names;
}

std::optional<OverrideProblem> override_problem(std::optional<std::string_view> key,
                                                ValueProbe& value, std::string_view shown_value) {
  using P = OverrideProblem::Kind;
  auto expected = [&](P kind, const char* what) {
    return OverrideProblem{kind,
                           std::string("expected ") + what + ", got " + std::string(shown_value)};
  };
  if (!key) return expected(P::kType, "a field name (text)");
  int i = profile_field_index(*key);
  if (i < 0) {
    return OverrideProblem{
        P::kValue, "not a GPUProfile field (expected one of: " + overridable_field_names() + ")"};
  }
  switch (kFields[static_cast<std::size_t>(i)].kind) {
    case K::kIdentity:
      return std::nullopt;
    case K::kOptionalBool:
      if (value.is_none() || value.is_bool()) return std::nullopt;
      return expected(P::kType, "true, false or None");
    case K::kCount:
      if (value.is_count()) return std::nullopt;
      return expected(value.is_real() ? P::kValue : P::kType, "a whole number >= 0");
    case K::kOptionalNumber:
      if (value.is_none()) return std::nullopt;
      if (!value.is_real()) return expected(P::kType, "a number or None");
      if (!value.is_finite()) return expected(P::kValue, "a finite number or None");
      return std::nullopt;
    case K::kNumber:
      if (!value.is_real()) return expected(P::kType, "a number");
      if (!value.is_finite()) return expected(P::kValue, "a finite number");
      return std::nullopt;
  }
  return std::nullopt;
}

std::string override_error(std::string_view shown_key, const OverrideProblem& problem) {
  return "GPU profile override " + std::string(shown_key) + ": " + problem.message;
}

std::string shown(std::string_view printed) {
  std::size_t characters = 0, cut = printed.size();
  for (std::size_t i = 0; i < printed.size(); ++i) {
    if (!starts_character(printed[i])) continue;
    if (characters == 77) cut = i;
    if (++characters > 80) return std::string(printed.substr(0, cut)) + "...";
  }
  return std::string(printed);
}

std::string describe_profile(const ProfileSummary& s) {
  const char* ecc = !s.has_ecc ? "ECC: unknown" : *s.has_ecc ? "ECC: yes" : "ECC: no";
  std::string nvlink = s.nvlink ? *s.nvlink + " GB/s NVLink" : "no NVLink baseline";
  return "GPU: " + s.gpu + " (detected profile: " + s.profile +
         ") | Reference target: " + s.reference_tflops + " TFLOPS | Peak FP16: " + s.fp16_tflops +
         " TFLOPS | " + s.memory_bw_gbps + " GB/s memory | " + nvlink + " | " + ecc;
}

}  // namespace corvane::trust
