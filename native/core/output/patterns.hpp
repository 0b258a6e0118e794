// The job-output patterns: their host-visible texts and the native searches behind them.
//
// The texts are what the host sees (compiled case-insensitively by the host's `re`).
// The native searches answer exactly as the host's `re` would on the same line, but are
// written so that no line, however adversarial, costs more than linear time.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "../common/regex.hpp"

namespace corvane::monitor {

enum class OutputPattern { kNanInf, kXid, kEcc, kLoss, kStep };

inline constexpr OutputPattern kOutputPatterns[] = {OutputPattern::kNanInf, OutputPattern::kXid,
                                                    OutputPattern::kEcc, OutputPattern::kLoss,
                                                    OutputPattern::kStep};

// Module constant name ("NAN_INF_PATTERN", ...) and pattern text.
std::string_view pattern_name(OutputPattern p);
std::string_view pattern_text(OutputPattern p);

// Builders for native pattern sources that follow the host's rules: `caseless` turns
// ASCII letters into classes of every character the host folds onto them, the two
// boundaries are the host's \b next to a word character, `space` is the host's \s.
std::string caseless(std::string_view literal);
std::string not_word_before();
std::string not_word_after();
std::string space();
std::string digit();      // the host's \d (every Unicode decimal digit)
std::string not_space();  // the host's \S

// Leftmost match of the pattern in `line`, as the host's `search` finds it; the captured
// groups (unset groups as nullopt) go to `groups` when given.
bool search_output_pattern(OutputPattern p, std::string_view line,
                           std::vector<std::optional<std::string_view>>* groups = nullptr);

// Direct access for the parser's hot path.
const Regex& nan_inf_regex();
const Regex& xid_regex();
const Regex& loss_regex();
const Regex& step_regex();
// "ecc ... (dbe|double-bit|uncorrectable)" without backtracking: returns the keyword the
// host's greedy search would capture.
std::optional<std::string_view> search_ecc(std::string_view line);

}  // namespace corvane::monitor
