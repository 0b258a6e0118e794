#include "patterns.hpp"

#include <py_unicode_tables.hpp>
#include <string>

namespace corvane::monitor {

std::string caseless(std::string_view literal) {
  std::string out;
  for (char c : literal) {
    char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower >= 'a' && lower <= 'z') {
      out += '[';
      out += pytables::kCaselessLetter[lower - 'a'];
      out += ']';
    } else if ((c >= '0' && c <= '9') || c == ' ' || c == '_') {
      out += c;
    } else {
      out += '\\';
      out += c;
    }
  }
  return out;
}

std::string not_word_before() { return std::string("(?<![") + pytables::kWordClass + "])"; }
std::string not_word_after() { return std::string("(?![") + pytables::kWordClass + "])"; }
std::string space() { return std::string("[") + pytables::kSpaceClass + "]"; }
std::string digit() { return std::string("[") + pytables::kDigitClass + "]"; }
std::string not_space() { return std::string("[^") + pytables::kSpaceClass + "]"; }

namespace {

const std::string kNumber = "([0-9]+(?:\\.[0-9]+)?)";

// In every pattern below \b stands next to a letter, so it reduces to a one-sided test.
// The XID pattern's two optional white-space runs are made possessive: the number that
// follows can't start with white space, so the answer is the same and a long run of
// spaces after "xid" costs linear time instead of quadratic.
std::string nan_inf_source() {
  return not_word_before() + "(?:" + caseless("nan") + "|" + caseless("inf") + "|" +
         caseless("infinity") + ")" + not_word_after();
}
std::string xid_source() {
  return not_word_before() + caseless("xid") + space() + "*+(?:" + caseless("error") + space() +
         "*+)?([0-9]++)";
}
std::string ecc_head_source() { return not_word_before() + caseless("ecc") + not_word_after(); }
std::string ecc_tail_source() {
  return not_word_before() + "(" + caseless("dbe") + "|" + caseless("double-bit") + "|" +
         caseless("uncorrectable") + ")" + not_word_after();
}
std::string loss_source() { return caseless("loss") + space() + "*[=:]" + space() + "*" + kNumber; }
std::string step_source() {
  return caseless("step") + "[_ ]?" + caseless("time") + space() + "*[=:]" + space() + "*" +
         kNumber;
}

const Regex& ecc_head_regex() {
  static const Regex rx(ecc_head_source());
  return rx;
}
const Regex& ecc_tail_regex() {
  static const Regex rx(ecc_tail_source());
  return rx;
}

}  // namespace

const Regex& nan_inf_regex() {
  static const Regex rx(nan_inf_source());
  return rx;
}
const Regex& xid_regex() {
  static const Regex rx(xid_source());
  return rx;
}
const Regex& loss_regex() {
  static const Regex rx(loss_source());
  return rx;
}
const Regex& step_regex() {
  static const Regex rx(step_source());
  return rx;
}

std::string_view pattern_name(OutputPattern p) {
  switch (p) {
    case OutputPattern::kNanInf:
      return "NAN_INF_PATTERN";
    case OutputPattern::kXid:
      return "XID_PATTERN";
    case OutputPattern::kEcc:
      return "ECC_PATTERN";
    case OutputPattern::kLoss:
      return "LOSS_PATTERN";
    case OutputPattern::kStep:
      return "STEP_PATTERN";
  }
  return {};
}

std::string_view pattern_text(OutputPattern p) {
  switch (p) {
    case OutputPattern::kNanInf:
      return R"(\b(?:nan|inf|infinity)\b)";
    case OutputPattern::kXid:
      return R"(\bxid\s*(?:error)?\s*([0-9]+))";
    case OutputPattern::kEcc:
      return R"(\becc\b.*\b(dbe|double-bit|uncorrectable)\b)";
    case OutputPattern::kLoss:
      return R"(loss\s*[=:]\s*([0-9]+(?:\.[0-9]+)?))";
    case OutputPattern::kStep:
      return R"(step[_ ]?time\s*[=:]\s*([0-9]+(?:\.[0-9]+)?))";
  }
  return {};
}

std::optional<std::string_view> search_ecc(std::string_view line) {
  // The host's ".*" stops at "\n", so each "\n"-separated segment stands alone. In a
  // segment, the first "ecc" word decides: later ones see a subset of what follows it.
  // The greedy ".*" makes the captured keyword the last one after that "ecc".
  const Regex& head = ecc_head_regex();
  const Regex& tail = ecc_tail_regex();
  Match m;
  std::size_t pos = 0;
  while (head.search(line, &m, pos)) {
    std::size_t seg_end = line.find('\n', m.whole.end);
    if (seg_end == std::string_view::npos) seg_end = line.size();
    // Searching the segment alone keeps the cost linear however many segments there are;
    // its end reads as a non-word character, as the "\n" after it would.
    std::string_view segment = line.substr(0, seg_end);
    std::optional<std::string_view> last;
    std::size_t from = m.whole.end;
    Match t;
    while (tail.search(segment, &t, from)) {
      last = t.group[1].of(segment);
      from = t.whole.end;
    }
    if (last) return last;
    if (seg_end == line.size()) break;
    pos = seg_end + 1;
  }
  return std::nullopt;
}

bool search_output_pattern(OutputPattern p, std::string_view line,
                           std::vector<std::optional<std::string_view>>* groups) {
  if (groups) groups->clear();
  if (p == OutputPattern::kEcc) {
    auto keyword = search_ecc(line);
    if (keyword && groups) groups->push_back(*keyword);
    return keyword.has_value();
  }
  const Regex* rx = nullptr;
  switch (p) {
    case OutputPattern::kNanInf:
      rx = &nan_inf_regex();
      break;
    case OutputPattern::kXid:
      rx = &xid_regex();
      break;
    case OutputPattern::kLoss:
      rx = &loss_regex();
      break;
    default:
      rx = &step_regex();
      break;
  }
  Match m;
  if (!rx->search(line, &m)) return false;
  if (groups) {
    for (int g = 1; g <= rx->group_count(); ++g) {
      if (m.group[g].set()) {
        groups->push_back(m.group[g].of(line));
      } else {
        groups->push_back(std::nullopt);
      }
    }
  }
  return true;
}

}  // namespace corvane::monitor
