// Reads the job's pipe until it ends: lines split and scanned off any lock, handed on in
// batches, and the rules for the recorded lists and the echo.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <string_view>
#include <vector>

#include "line_splitter.hpp"
#include "output_parser.hpp"

namespace corvane::monitor {

using BatchSink = std::function<void(const LineBatch&, const std::vector<OutputLineScan>&)>;

// Reads `fd` (which it closes) until end of file, a read error, or `stop`. After a stop the
// reader still drains what the pipe holds (the tail of the job's output is not lost) but
// gives up once the pipe stays quiet for 100 ms, or after 1.5 s, when a process left
// behind keeps it open. Each batch read goes to `deliver` with the scan of every line.
// Returns 0, or the errno of a failed wait on the pipe.
int read_pipe(int fd, const std::atomic<bool>& stop, const BatchSink& deliver);

// Bounded lists: how many of the oldest of `size` entries to drop to keep `max_entries`
// (negative: keep all). Trimming in chunks (a slack of a quarter of the bound, at least
// 1024) keeps the cost per line constant; `exact` trims to the bound itself.
std::size_t entries_to_drop(std::size_t size, long long max_entries, bool exact);

// The kept output lines in bytes, oldest first: however long the lines, the kept ones stay
// within a budget (each is at most LineSplitter::kMaxLineBytes and a marker).
class KeptBytes {
 public:
  static constexpr std::size_t kBudget = std::size_t{32} << 20;
  explicit KeptBytes(std::size_t budget = kBudget) : budget_(budget) {}

  void add(std::size_t bytes) {
    sizes_.push_back(bytes);
    total_ += bytes;
  }
  // How many of the oldest lines to drop (and forgets them): `at_least` (what the line
  // bound asks), and more while the rest is over the budget, trimmed in chunks (a slack
  // of a quarter of the budget) unless `exact`.
  std::size_t drop(std::size_t at_least, bool exact);
  std::size_t total() const { return total_; }

 private:
  std::deque<std::size_t> sizes_;
  std::size_t total_ = 0;
  std::size_t budget_;
};

// A stream encoding name that means UTF-8 ("utf-8", "UTF8", "utf_8"): such a stream's byte
// buffer gets the echo directly.
bool is_utf8_name(std::string_view encoding);

}  // namespace corvane::monitor
