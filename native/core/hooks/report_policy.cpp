#include "report_policy.hpp"

#include "report_builder.hpp"

namespace corvane::monitor {

std::string oversized_line_warning() {
  return "hook lines over " + std::to_string(kMaxHostDecodedBytes >> 10) +
         " KiB that only the full JSON decoder reads are skipped";
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

}  // namespace corvane::monitor
