// Following a file that other processes append reports to, one line each: what was read,
// which file it was, and the last line while its writer has not finished it. Reading goes
// through an injected function, so tests feed bytes without a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvane::monitor {

class FileTail {
 public:
  static constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;
  static constexpr std::size_t kReadChunk = std::size_t{1} << 20;
  static constexpr std::size_t kMaxBytesPerPass = std::size_t{64} << 20;

  struct Identity {
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0;
  };
  // Reads up to `size` bytes at `offset` into `buffer`: the count, 0 at the end, or -1 with
  // the error number in `*error`.
  using ReadAt =
      std::function<long long(char* buffer, std::size_t size, std::int64_t offset, int* error)>;
  // Handles one line (without its "\n"); true when it was a whole report. A last line
  // without its end is offered at the end of each pass and taken only if it says so.
  using TakeLine = std::function<bool(std::string_view line)>;

  // One pass over what was appended since the last one, at most kMaxBytesPerPass. A file
  // replaced, or cut shorter than what was read, is read again from its start. Returns 0,
  // or the error number of a failed read (what was read before it is kept).
  int pass(const Identity& file, const ReadAt& read, const TakeLine& take);

  std::int64_t offset() const { return offset_; }

 private:
  void consume(std::string_view chunk, const TakeLine& take);

  std::int64_t offset_ = 0;
  Identity file_{};
  bool known_ = false;
  std::string partial_;
  bool skipping_ = false;          // a line too long to be a report, dropped up to its end
  bool partial_consumed_ = false;  // the unterminated line was taken as a whole report
};

}  // namespace corvane::monitor
