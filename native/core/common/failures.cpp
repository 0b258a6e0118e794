#include "failures.hpp"

namespace corvane {

std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  if (text.size() > kMaxErrorLineChars) {
    std::size_t cut = kMaxErrorLineChars;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "...";
  }
  return text;
}

std::optional<std::string> OnceFilter::admit(const std::string& message) {
  if (seen_.size() > kMaxMessages || !seen_.insert(message).second) return std::nullopt;
  if (seen_.size() > kMaxMessages) return "further errors are not logged";
  return message;
}

monitor::Finding watcher_stopped_finding(const std::string& source, const std::string& error) {
  using monitor::DetailValue;
  return {"monitor_degraded",
          "WARN",
          "Monitoring of " + source + " stopped early",
          {{"source", DetailValue::string(source)}, {"error", DetailValue::string(error)}}};
}

}  // namespace corvane
