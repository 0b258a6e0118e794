// Turns the bytes of a job's output into text lines: universal newlines, UTF-8 decoded
// with replacement, bounded memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::monitor {

// bytes decoded as UTF-8 with every maximal invalid subpart replaced by U+FFFD, which is
// what the host's bytes.decode("utf-8", "replace") gives, appended to `out` (valid UTF-8).
void decode_utf8_replace(std::string_view bytes, std::string& out);

// Lines stored back to back, each followed by "\n": the text is also the echo of the batch.
class LineBatch {
 public:
  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  std::string_view line(std::size_t i) const {
    std::size_t end = i + 1 < starts_.size() ? starts_[i + 1] : text_.size();
    return std::string_view(text_).substr(starts_[i], end - starts_[i] - 1);
  }
  const std::string& text() const { return text_; }
  void clear() {
    text_.clear();
    starts_.clear();
    ends_.clear();
    lead_newline_ = false;
    has_cut_ = false;
  }
  // Appends one line, decoding `raw` as UTF-8 with replacement; `end` is how the job ended
  // it: '\r' for a lone carriage return (a redrawn progress bar), kCut for a piece of a
  // line too long to hold (the line goes on in the next piece), else '\n'.
  static constexpr char kCut = '\0';
  void add(std::string_view raw, char end = '\n') {
    starts_.push_back(text_.size());
    decode_utf8_replace(raw, text_);
    text_ += '\n';
    ends_.push_back(end);
    has_cut_ = has_cut_ || end == kCut;
  }
  // Whether line `i` is a piece of a longer line that goes on in the next one.
  bool cut(std::size_t i) const { return ends_[i] == kCut; }
  bool has_cut() const { return has_cut_; }
  // The "\n" of a "\r\n" whose "\r" ended the previous batch's last line.
  void add_lead_newline() { lead_newline_ = true; }

  // The lines as the job wrote them, each with its own end, for a terminal: a progress
  // bar redrawn with "\r" stays one updating line there. The pieces of a long line are
  // joined again in both.
  std::string terminal_text() const;
  // text() without the line ends inside a long line; for a batch that has_cut().
  std::string joined_text() const;

 private:
  std::string text_;
  std::vector<std::size_t> starts_;
  std::vector<char> ends_;
  bool lead_newline_ = false;
  bool has_cut_ = false;
};

class LineSplitter {
 public:
  // A line that grows past `max_line_bytes` without an end is handed on in pieces of that
  // size (each but the last marked LineBatch::kCut), so a job that never prints a newline
  // can't make the reader hold unbounded memory.
  static constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;
  explicit LineSplitter(std::size_t max_line_bytes = kMaxLineBytes) : max_line_(max_line_bytes) {}

  // "\n", "\r\n" and a lone "\r" each end a line, also when "\r" ends one chunk and "\n"
  // starts the next. Complete lines, without their ends, are appended to `out`.
  void feed(std::string_view chunk, LineBatch& out);

  // End of stream: the unterminated last line, if any.
  void finish(LineBatch& out);

 private:
  void emit(LineBatch& out, char end = '\n');

  std::string partial_;
  bool pending_cr_ = false;
  std::size_t max_line_;
};

}  // namespace corvane::monitor
