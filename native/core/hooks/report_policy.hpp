// What the hook monitor does with each line of the report file and each report: which
// reader reads it, whether the interpreter is let go meanwhile, what rank 0 publishes as the
// job's training state, and the peer analysis's settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "../common/settings.hpp"
#include "hook_file.hpp"
#include "report_reader.hpp"

namespace corvane::monitor {

// Longer lines are read, and reports with more phases analysed, without holding the
// interpreter.
inline constexpr std::size_t kBytesWithInterpreter = std::size_t{16} << 10;
inline constexpr std::size_t kPhasesWithInterpreter = 512;

// The host decoder holds the interpreter for the whole line: past this bound (far beyond
// any real report) a line only it can read is skipped rather than stalling the job's other
// threads.
inline constexpr std::size_t kMaxHostDecodedBytes = std::size_t{64} << 10;
std::string oversized_line_warning();

// The peer analysis's settings in the configuration's "monitor" section.
struct AnalysisSetting {
  std::string_view key;
  double fallback;
};
inline constexpr AnalysisSetting kDivergenceSigma{"rank_divergence_threshold", 2.0};
inline constexpr AnalysisSetting kStragglerThreshold{"rank_straggler_threshold", 0.1};

// Reports that name their step: a straggler is also this many seconds slower than its
// peers, and the first steps seen are not judged.
inline constexpr AnalysisSetting kStragglerMinGap{"straggler_min_gap_s", 0.05};
inline constexpr AnalysisSetting kWarmupSteps{"warmup_steps", 10};

struct PeerSettings {
  double divergence_sigma = kDivergenceSigma.fallback;
  double straggler_threshold = kStragglerThreshold.fallback;
  double min_gap_s = kStragglerMinGap.fallback;
  double warmup_steps = kWarmupSteps.fallback;
};
// Reads them from the required "monitor" section; each is optional.
PeerSettings read_peer_settings(SettingsReader& root);

// A natively read report, decided.
struct FastPlan {
  enum Action {
    kTake,  // analysed
    kDrop,  // a rank beyond 64 bits is no rank of this job
    kHost,  // rank 0's phase is an object: str() of it is the host decoder's
  } action = kTake;
  std::int64_t rank = 0;
  bool publish_phase = false;  // rank 0's phase, where the job keeps a training state
  enum Step {
    kNoStep,
    kStepValue,    // `step`
    kStepLiteral,  // an integer literal beyond 64 bits: the host's int() of its text
    kStepFloat,    // a float beyond 64 bits: the host's int() of its value
  } step = kNoStep;
  std::int64_t step_value = 0;
  bool without_interpreter = false;  // very many phases
};
FastPlan plan_fast_report(const FastHookReport& f, bool keeps_state);

// The readers of one line: the native reader for the usual shape, the host's decoder for
// any other.
struct LineReaders {
  bool host_only = false;  // for tests: every line through the host's decoder
  Blocking blocking;       // runs the native reading of a long line without the interpreter
  // A natively read report; false when it needs the host's decoder after all.
  std::function<bool(const FastHookReport&)> fast;
  // The host decoder's reading of the line; true when it was a report.
  std::function<bool(std::string_view raw)> host;
  std::function<void(const std::string& message)> warn;
};

// Reads one line of the report file; true when it was a report.
bool read_hook_line(std::string_view raw, const LineReaders& readers);

}  // namespace corvane::monitor
