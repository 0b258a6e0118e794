#include "line_splitter.hpp"

#include <cstring>

namespace corvane::monitor {

namespace {

// Length of the well-formed sequence starting at s[i], or of the maximal invalid subpart
// (at least 1) with `valid` false.
std::size_t utf8_step(std::string_view s, std::size_t i, bool* valid) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  *valid = false;
  if (c < 0x80) {
    *valid = true;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) return k;
    unsigned char t = b(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (t < l || t > h) return k;
  }
  *valid = true;
  return need + 1;
}

bool is_ascii(std::string_view s) {
  for (char ch : s) {
    if (static_cast<unsigned char>(ch) >= 0x80) return false;
  }
  return true;
}

}  // namespace

void decode_utf8_replace(std::string_view bytes, std::string& out) {
  if (is_ascii(bytes)) {
    out.append(bytes);
    return;
  }
  std::size_t i = 0;
  while (i < bytes.size()) {
    bool valid = false;
    std::size_t n = utf8_step(bytes, i, &valid);
    if (valid) {
      out.append(bytes.substr(i, n));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += n;
  }
}

std::string LineBatch::terminal_text() const {
  std::string out;
  out.reserve(text_.size() + 1);
  if (lead_newline_) out += '\n';
  for (std::size_t i = 0; i < size(); ++i) {
    out.append(line(i));
    if (!cut(i)) out += ends_[i];
  }
  return out;
}

std::string LineBatch::joined_text() const {
  std::string out;
  out.reserve(text_.size());
  for (std::size_t i = 0; i < size(); ++i) {
    out.append(line(i));
    if (!cut(i)) out += '\n';
  }
  return out;
}

void LineSplitter::emit(LineBatch& out, char end) {
  out.add(partial_, end);
  partial_.clear();
}

void LineSplitter::feed(std::string_view chunk, LineBatch& out) {
  std::size_t i = 0;
  if (pending_cr_ && !chunk.empty()) {
    if (chunk[0] == '\n') {  // the "\n" of a "\r\n" split across two reads
      i = 1;
      out.add_lead_newline();
    }
    pending_cr_ = false;
  }
  while (i < chunk.size()) {
    const char* start = chunk.data() + i;
    std::size_t rest = chunk.size() - i;
    const void* nl = std::memchr(start, '\n', rest);
    const void* cr = std::memchr(start, '\r', nl ? static_cast<const char*>(nl) - start : rest);
    const char* end = static_cast<const char*>(cr ? cr : nl);
    if (end == nullptr) {
      partial_.append(start, rest);
      if (partial_.size() >= max_line_) {
        // Cut at a character boundary so the pieces decode as the whole would.
        std::size_t cut = max_line_;
        while (cut > 0 && (static_cast<unsigned char>(partial_[cut]) & 0xC0) == 0x80) --cut;
        if (cut == 0) cut = max_line_;
        std::string tail = partial_.substr(cut);
        partial_.resize(cut);
        emit(out, LineBatch::kCut);
        partial_ = std::move(tail);
      }
      return;
    }
    std::size_t next = static_cast<std::size_t>(end - chunk.data()) + 1;
    // A "\r" is a line end of its own unless a "\n" follows (unknown yet at the chunk's end).
    char how = *end == '\r' && (next >= chunk.size() || chunk[next] != '\n') ? '\r' : '\n';
    if (partial_.empty()) {
      out.add(std::string_view(start, static_cast<std::size_t>(end - start)), how);  // no copy
    } else {
      partial_.append(start, static_cast<std::size_t>(end - start));
      emit(out, how);
    }
    i = next;
    if (*end == '\r') {
      if (i < chunk.size()) {
        if (chunk[i] == '\n') ++i;
      } else {
        pending_cr_ = true;
      }
    }
  }
}

void LineSplitter::finish(LineBatch& out) {
  pending_cr_ = false;
  if (!partial_.empty()) emit(out);
}

}  // namespace corvane::monitor
