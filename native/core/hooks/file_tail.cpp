#include "file_tail.hpp"

#include <vector>

namespace corvane::monitor {

int FileTail::pass(const Identity& file, const ReadAt& read, const TakeLine& take) {
  if (!known_ || file.device != file_.device || file.inode != file_.inode || file.size < offset_) {
    offset_ = 0;
    partial_.clear();
    skipping_ = false;
    partial_consumed_ = false;
  }
  known_ = true;
  file_ = file;

  int error = 0;
  std::vector<char> buffer(kReadChunk);
  std::size_t read_this_pass = 0;
  while (read_this_pass < kMaxBytesPerPass) {
    long long n = read(buffer.data(), buffer.size(), offset_, &error);
    if (n <= 0) break;
    offset_ += n;
    read_this_pass += static_cast<std::size_t>(n);
    consume(std::string_view(buffer.data(), static_cast<std::size_t>(n)), take);
  }
  // A last line without its end: taken now only if it already is a whole report, else kept
  // for the next pass, when its writer will have finished it.
  if (!skipping_ && !partial_.empty() && !partial_consumed_ && take(partial_)) {
    partial_consumed_ = true;
  }
  return error;
}

void FileTail::consume(std::string_view chunk, const TakeLine& take) {
  std::size_t start = 0;
  while (start < chunk.size()) {
    std::size_t nl = chunk.find('\n', start);
    std::string_view piece =
        chunk.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    if (nl == std::string_view::npos) {
      if (!skipping_) {
        partial_.append(piece);
        if (partial_.size() > kMaxLineBytes) {
          // Too long to be a report: drop it without holding it, up to its end.
          partial_.clear();
          partial_.shrink_to_fit();
          skipping_ = true;
        }
      }
      return;
    }
    if (skipping_) {
      skipping_ = false;
    } else if (partial_.empty()) {
      if (piece.size() <= kMaxLineBytes) take(piece);
    } else {
      partial_.append(piece);
      if (!partial_consumed_ && partial_.size() <= kMaxLineBytes) take(partial_);
      partial_.clear();
    }
    partial_consumed_ = false;
    start = nl + 1;
  }
}

}  // namespace corvane::monitor
