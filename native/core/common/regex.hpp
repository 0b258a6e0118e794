// A small PCRE2 wrapper: compiled once, JIT-compiled when available, thread-safe to
// share (each thread keeps its own match data).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

struct Span {
  std::size_t begin = kUnset;
  std::size_t end = kUnset;
  static constexpr std::size_t kUnset = static_cast<std::size_t>(-1);
  bool set() const { return begin != kUnset; }
  std::string_view of(std::string_view subject) const {
    return set() ? subject.substr(begin, end - begin) : std::string_view{};
  }
};

inline constexpr int kMaxGroups = 4;

struct Match {
  Span whole;
  Span group[kMaxGroups + 1];  // group[0] is unused so group numbers index directly
};

class Regex {
 public:
  // `pattern` is PCRE2 syntax over UTF-8; compile errors throw std::invalid_argument.
  explicit Regex(std::string_view pattern);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Leftmost match at or after byte offset `start`; the whole subject stays visible to
  // look-behind assertions. Invalid UTF-8 in the subject never matches any pattern item.
  bool search(std::string_view subject, Match* match, std::size_t start = 0) const;

  int group_count() const { return groups_; }

 private:
  void* code_ = nullptr;  // pcre2_code_8
  int groups_ = 0;
};

}  // namespace corvane
