// Turns the bytes of a job's output into text lines: universal newlines, UTF-8 decoded
// with replacement, bounded memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

// bytes decoded as UTF-8 with every maximal invalid subpart replaced by U+FFFD, which is
// what the host's bytes.decode("utf-8", "replace") gives. The result is valid UTF-8.
std::string decode_utf8_replace(std::string_view bytes);

class LineSplitter {
 public:
  // A line that grows past `max_line_bytes` without an end is cut there, so a job that
  // never prints a newline can't make the reader hold unbounded memory.
  explicit LineSplitter(std::size_t max_line_bytes = std::size_t{16} << 20)
      : max_line_(max_line_bytes) {}

  // "\n", "\r\n" and a lone "\r" each end a line, also when "\r" ends one chunk and "\n"
  // starts the next. Complete lines, without their ends, are appended to `out`.
  void feed(std::string_view chunk, std::vector<std::string>& out);

  // End of stream: the unterminated last line, if any.
  void finish(std::vector<std::string>& out);

 private:
  void emit(std::vector<std::string>& out);

  std::string partial_;
  bool pending_cr_ = false;
  std::size_t max_line_;
};

}  // namespace corvane::monitor
