#include "report_reader.hpp"

#include <cstddef>
#include <unordered_map>

namespace corvane::monitor {

namespace {

constexpr int kMaxDepth = 64;
// The brackets by name, so a reader's eye (and a brace matcher) sees the code's own blocks.
constexpr char kObjectOpen = '{', kObjectClose = '}', kArrayOpen = '[', kArrayClose = ']';

struct NeedHost {};

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  void expect(char c) {
    if (peek() != c) throw NeedHost{};  // malformed: the host decides (and skips it)
    ++i_;
  }

  std::string_view string() {
    expect('"');
    std::size_t start = i_;
    while (i_ < s_.size()) {
      auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        std::string_view out = s_.substr(start, i_ - start);
        ++i_;
        return out;
      }
      if (c == '\\' || c < 0x20 || c >= 0x80) throw NeedHost{};
      ++i_;
    }
    throw NeedHost{};
  }

  JsonScalar number() {
    std::size_t start = i_;
    bool is_float = false;
    if (peek() == '-') ++i_;
    if (peek() == '0') {
      ++i_;
    } else if (peek() >= '1' && peek() <= '9') {
      while (peek() >= '0' && peek() <= '9') ++i_;
    } else {
      throw NeedHost{};  // "-Infinity" and friends
    }
    if (peek() == '.') {
      is_float = true;
      ++i_;
      if (!(peek() >= '0' && peek() <= '9')) throw NeedHost{};
      while (peek() >= '0' && peek() <= '9') ++i_;
    }
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++i_;
      if (peek() == '+' || peek() == '-') ++i_;
      if (!(peek() >= '0' && peek() <= '9')) throw NeedHost{};
      while (peek() >= '0' && peek() <= '9') ++i_;
    }
    std::string_view text = s_.substr(start, i_ - start);
    if (text.size() > 300) throw NeedHost{};  // beyond a double's range as an integer
    return {is_float ? JsonScalar::kFloat : JsonScalar::kInt, text};
  }

  // After a member: true when a "," announces another, false after the closing bracket.
  bool more(char close) {
    ws();
    if (peek() == ',') {
      ++i_;
      return true;
    }
    expect(close);
    return false;
  }

  void literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) throw NeedHost{};
    i_ += word.size();
  }

  // Any value; containers are checked for syntax and reported as kContainer.
  JsonScalar value(int depth) {
    if (depth > kMaxDepth) throw NeedHost{};
    char c = peek();
    if (c == '"') return {JsonScalar::kString, string()};
    if (c == kObjectOpen || c == kArrayOpen) {
      std::size_t start = i_;
      container(depth);
      return {JsonScalar::kContainer, s_.substr(start, i_ - start)};
    }
    if (c == 't') {
      literal("true");
      return {JsonScalar::kTrue, {}};
    }
    if (c == 'f') {
      literal("false");
      return {JsonScalar::kFalse, {}};
    }
    if (c == 'n') {
      literal("null");
      return {JsonScalar::kNull, {}};
    }
    return number();
  }

  void container(int depth) {
    char open = peek(), close = open == kObjectOpen ? kObjectClose : kArrayClose;
    ++i_;
    ws();
    if (peek() == close) {
      ++i_;
      return;
    }
    while (true) {
      ws();
      if (open == kObjectOpen) {
        string();
        ws();
        expect(':');
        ws();
      }
      value(depth + 1);
      if (!more(close)) return;
    }
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

JsonScalar* slot(FastHookReport& r, std::string_view key) {
  if (key == "rank") return &r.rank;
  if (key == "timestamp") return &r.timestamp;
  if (key == "phase") return &r.phase;
  if (key == "step") return &r.step;
  if (key == "gradient_norm") return &r.gradient_norm;
  if (key == "step_time") return &r.step_time;
  if (key == "phase_times") return &r.phase_times;
  if (key == "phase_index") return &r.phase_index;
  if (key == "node") return &r.node;
  return nullptr;
}

void phase_object(Reader& rd, FastHookReport& r) {
  rd.expect('{');
  rd.ws();
  if (rd.peek() == '}') {
    ++rd.i_;
    return;
  }
  // Where each name first came: a repeated name keeps that place and takes the last
  // value, as in the host decoder's map.
  std::unordered_map<std::string_view, std::size_t> seen;
  while (true) {
    rd.ws();
    std::string_view key = rd.string();
    rd.ws();
    rd.expect(':');
    rd.ws();
    JsonScalar v = rd.value(2);
    if (v.kind == JsonScalar::kString) throw NeedHost{};  // float("1.5") is the host's
    auto [at, fresh] = seen.try_emplace(key, r.phase_entries.size());
    if (fresh) {
      r.phase_entries.emplace_back(key, v);
    } else {
      r.phase_entries[at->second].second = v;
    }
    if (!rd.more('}')) return;
  }
}

}  // namespace

FastParse parse_hook_line(std::string_view line, FastHookReport* out) {
  Reader rd(line);
  rd.ws();
  if (rd.at_end()) return FastParse::kNotReport;  // blank
  if (rd.peek() != '{') return FastParse::kNeedHost;
  try {
    FastHookReport r;
    ++rd.i_;
    rd.ws();
    bool first = true;
    while (true) {
      rd.ws();
      if (first && rd.peek() == '}') {
        ++rd.i_;
        break;
      }
      first = false;
      std::string_view key = rd.string();
      rd.ws();
      rd.expect(':');
      rd.ws();
      JsonScalar* target = slot(r, key);
      if (target != nullptr && target->kind != JsonScalar::kAbsent) throw NeedHost{};
      if (target == &r.phase_times && rd.peek() == '{') {
        std::size_t start = rd.i_;
        phase_object(rd, r);
        r.phase_times = {JsonScalar::kContainer, line.substr(start, rd.i_ - start)};
      } else {
        JsonScalar v = rd.value(1);
        if (target != nullptr) {
          // Texts are converted by the host's int()/float()/str() rules: its own path.
          if (v.kind == JsonScalar::kString && target != &r.phase && target != &r.node) {
            throw NeedHost{};
          }
          *target = v;
        }
      }
      if (!rd.more('}')) break;
    }
    rd.ws();
    if (!rd.at_end()) return FastParse::kNeedHost;
    *out = std::move(r);
    return FastParse::kReport;
  } catch (NeedHost&) {
    // Given up at the very end: the line stops inside the object, which no decoder reads.
    return rd.at_end() ? FastParse::kNotReport : FastParse::kNeedHost;
  }
}

}  // namespace corvane::monitor
