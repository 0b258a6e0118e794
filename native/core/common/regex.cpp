#include "regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <stdexcept>

namespace corvane {
namespace {

pcre2_code* as_code(void* p) { return static_cast<pcre2_code*>(p); }

// One match-data block per thread, big enough for every pattern we compile.
pcre2_match_data* thread_match_data() {
  struct Holder {
    pcre2_match_data* data = pcre2_match_data_create(kMaxGroups + 1, nullptr);
    ~Holder() { pcre2_match_data_free(data); }
  };
  thread_local Holder holder;
  return holder.data;
}

}  // namespace

Regex::Regex(std::string_view pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_compile_context* ctx = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(ctx, PCRE2_NEWLINE_LF);
  pcre2_code* code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                    PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_NO_UTF_CHECK, &error, &offset, ctx);
  pcre2_compile_context_free(ctx);
  if (code == nullptr) {
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(error, buffer, sizeof buffer);
    throw std::invalid_argument("bad pattern at offset " + std::to_string(offset) + ": " +
                                reinterpret_cast<const char*>(buffer));
  }
  // Without JIT support the interpreter still gives the same answers, only slower.
  (void)pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  std::uint32_t count = 0;
  pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &count);
  if (count > static_cast<std::uint32_t>(kMaxGroups)) {
    pcre2_code_free(code);
    throw std::invalid_argument("pattern has too many capture groups");
  }
  code_ = code;
  groups_ = static_cast<int>(count);
}

Regex::~Regex() { pcre2_code_free(as_code(code_)); }

bool Regex::search(std::string_view subject, Match* match, std::size_t start) const {
  if (start > subject.size()) return false;
  pcre2_match_data* md = thread_match_data();
  int rc = pcre2_match(as_code(code_), reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                       start, 0, md, nullptr);
  if (rc <= 0) return false;  // no match, or a resource limit: both mean "not found"
  if (match != nullptr) {
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
    match->whole = {ov[0], ov[1]};
    for (int g = 1; g <= kMaxGroups; ++g) {
      if (g <= groups_ && g < rc) {
        match->group[g] = {ov[2 * g], ov[2 * g + 1]};
      } else {
        match->group[g] = {};
      }
    }
  }
  return true;
}

}  // namespace corvane
