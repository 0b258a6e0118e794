#include "report_policy.hpp"

#include "report_builder.hpp"

namespace corvane::monitor {

std::string oversized_line_warning() {
  return "hook lines over " + std::to_string(kMaxHostDecodedBytes >> 10) +
         " KiB that only the full JSON decoder reads are skipped";
}

bool read_hook_line(std::string_view raw, const LineReaders& readers) {
  FastHookReport fast;
  FastParse parsed = FastParse::kNeedHost;
  if (readers.host_only) {
  } else if (raw.size() > kBytesWithInterpreter) {
    readers.blocking([&] { parsed = parse_hook_line(raw, &fast); });
  } else {
    parsed = parse_hook_line(raw, &fast);
  }
  if (parsed == FastParse::kNotReport) return false;
  // A report in a shape only the host can read exactly goes on to its decoder.
  if (parsed == FastParse::kReport && readers.fast(fast)) return true;
  if (raw.size() > kMaxHostDecodedBytes) {
    readers.warn(oversized_line_warning());
    return false;
  }
  return readers.host(raw);
}

FastPlan plan_fast_report(const FastHookReport& f, bool keeps_state) {
  FastPlan plan;
  switch (json_int(f.rank, &plan.rank)) {
    case IntResult::kTooBig:
      plan.action = FastPlan::kDrop;
      return plan;
    case IntResult::kDefault:
      plan.rank = 0;
      break;
    case IntResult::kValue:
      break;
  }
  plan.without_interpreter = f.phase_entries.size() > kPhasesWithInterpreter;
  if (!keeps_state || plan.rank != 0) return plan;
  if (f.phase.kind == JsonScalar::kContainer) {
    plan.action = FastPlan::kHost;
    return plan;
  }
  plan.publish_phase = f.phase.kind != JsonScalar::kAbsent && f.phase.kind != JsonScalar::kNull;
  switch (json_int(f.step, &plan.step_value)) {
    case IntResult::kValue:
      plan.step = FastPlan::kStepValue;
      break;
    case IntResult::kTooBig:
      plan.step = f.step.kind == JsonScalar::kInt ? FastPlan::kStepLiteral : FastPlan::kStepFloat;
      break;
    case IntResult::kDefault:
      break;
  }
  return plan;
}

PeerSettings read_peer_settings(SettingsReader& root) {
  SettingsReader monitor = root.section("monitor", true);
  auto setting = [&](const AnalysisSetting& s) {
    return monitor.number(s.key, s.fallback, s.fallback);
  };
  return {setting(kDivergenceSigma), setting(kStragglerThreshold), setting(kStragglerMinGap),
          setting(kWarmupSteps)};
}

}  // namespace corvane::monitor
