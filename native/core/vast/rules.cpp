#include "rules.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>

namespace corvane::vast {

double clamp_multiplier(std::optional<double> parsed, double fallback, double low, double high) {
  double v = parsed.value_or(fallback);
  if (std::isnan(v)) return high;  // not a number: the most permissive bound
  v = v < high ? v : high;
  v = v > low ? v : low;
  return v;
}

std::vector<std::size_t> rank_offers(const std::vector<OfferFacts>& offers,
                                     const std::vector<std::int64_t>& preferred,
                                     double trusted_multiplier) {
  std::vector<std::size_t> order(offers.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (preferred.empty() || offers.empty()) return order;
  std::optional<double> cap;
  for (const auto& o : offers) {
    if (o.price && (!cap || *o.price < *cap)) cap = *o.price;
  }
  if (cap) *cap *= trusted_multiplier;
  std::map<std::int64_t, std::size_t> rank;
  for (std::size_t i = 0; i < preferred.size(); ++i) rank.emplace(preferred[i], i);
  auto key = [&](std::size_t pos) -> std::pair<int, std::size_t> {
    const OfferFacts& o = offers[pos];
    if (!o.machine_id) return {1, pos};
    auto it = rank.find(*o.machine_id);
    if (it == rank.end()) return {1, pos};
    if (cap && (!o.price || *o.price > *cap)) return {1, pos};
    return {0, it->second};
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  return order;
}

std::vector<std::size_t> choose_distinct(const std::vector<OfferFacts>& offers, std::size_t wanted,
                                         double price_multiplier) {
  std::optional<double> cap;
  for (const auto& o : offers) {
    if (o.price && (!cap || *o.price < *cap)) cap = *o.price;
  }
  if (cap) *cap *= price_multiplier;
  std::vector<std::size_t> out;
  std::set<std::int64_t> seen;
  for (std::size_t i = 0; i < offers.size() && out.size() < wanted; ++i) {
    const OfferFacts& o = offers[i];
    if (cap && o.price && *o.price > *cap) continue;  // an unreadable price passes the cap
    if (!o.machine_id || !seen.insert(*o.machine_id).second) continue;
    out.push_back(i);
  }
  return out;
}

std::string shell_quote(std::string_view word) {
  if (word.empty()) return "''";
  bool safe = std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  });
  if (safe) return std::string(word);
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\"'\"'";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string build_onstart(std::string_view key) {
  if (key.empty()) return "";
  return "mkdir -p /root/.ssh && chmod 700 /root/.ssh && echo " + shell_quote(key) +
         " >> /root/.ssh/authorized_keys && chmod 600 /root/.ssh/authorized_keys";
}

std::string path_segment(std::string_view id) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : id) {
    bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '~' || (c == '.' && id != "." && id != "..");
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

ListField list_field(Json kind) {
  switch (kind) {
    case Json::List:
      return ListField::Items;
    case Json::Missing:
    case Json::Null:
      return ListField::Nothing;
    default:
      return ListField::Malformed;
  }
}

InstancePick pick_instance(Json inner) {
  switch (inner) {
    case Json::List:
      return InstancePick::FirstOfList;
    case Json::Map:
      return InstancePick::Inner;
    case Json::Null:
      return InstancePick::Nothing;
    default:
      return InstancePick::Answer;  // absent, or a value that says nothing: the outer map
  }
}

bool valid_contract_id(Json kind, std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (kind == Json::Int) {
    return std::all_of(text.begin(), text.end(), digit) &&
           text.find_first_not_of('0') != std::string_view::npos;
  }
  if (kind != Json::Str) return false;
  bool alnum = false;
  for (char c : text) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    alnum = alnum || letter || digit(c);
    if (!letter && !digit(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return alnum;
}

bool key_attached(std::optional<bool> success, std::string_view lowered_msg) {
  if (!success) return false;
  return *success || lowered_msg.find("already associated") != std::string_view::npos;
}

long long retry_delay_s(long long attempt) {
  return attempt < 1 ? 1 : 1LL << std::min<long long>(attempt - 1, 62);
}

namespace {

// The code point of the UTF-8 sequence at text[i] (advancing i); a stray byte stands for
// itself.
std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = b(i++);
  int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  std::uint32_t cp = more == 0 ? c : c & (0x3F >> more);
  for (int k = 0; k < more && i < text.size() && (b(i) & 0xC0) == 0x80; ++k) {
    cp = (cp << 6) | (b(i++) & 0x3F);
  }
  return cp;
}

void append_hex(std::string& out, unsigned value, int digits, const char* alphabet) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out += alphabet[(value >> shift) & 0xF];
}

// The key inside a JSON string, as encoders write it: ASCII only (\u escapes), or with
// its non-ASCII characters as they are.
std::string json_escaped(std::string_view key, bool ascii) {
  std::string out;
  for (std::size_t i = 0; i < key.size();) {
    std::size_t start = i;
    std::uint32_t cp = next_code_point(key, i);
    auto u = [&](std::uint32_t unit) {
      out += "\\u";
      append_hex(out, unit, 4, "0123456789abcdef");
    };
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp < 0x20) {
      static constexpr char kShort[] = "btnvfr";  // \b \t \n \f \r; \v has none
      if (cp >= 8 && cp <= 13 && cp != 11) {
        out += '\\';
        out += kShort[cp - 8];
      } else {
        u(cp);
      }
    } else if (cp < 0x80 || !ascii) {
      out.append(key.substr(start, i - start));
    } else if (cp > 0xFFFF) {
      u(0xD800 + ((cp - 0x10000) >> 10));
      u(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      u(cp);
    }
  }
  return out;
}

// The key URL-encoded (unreserved characters kept), with spaces as "%20" or "+".
std::string url_encoded(std::string_view key, bool plus) {
  std::string out;
  for (char ch : key) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += ch;
    } else if (c == ' ' && plus) {
      out += '+';
    } else {
      out += '%';
      append_hex(out, c, 2, "0123456789ABCDEF");
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> key_forms(std::string_view key) {
  std::set<std::string> forms{std::string(key), json_escaped(key, true), json_escaped(key, false),
                              url_encoded(key, false), url_encoded(key, true)};
  forms.erase("");
  std::vector<std::string> out(forms.begin(), forms.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return out;
}

std::optional<std::string> without_key(std::string_view shown, std::string_view message,
                                       std::string_view key) {
  std::vector<std::string> forms = key_forms(key);
  if (std::none_of(forms.begin(), forms.end(),
                   [&](const std::string& f) { return shown.find(f) != std::string_view::npos; })) {
    return std::nullopt;
  }
  std::string out(message);
  for (const std::string& form : forms) {
    std::string next;
    std::size_t at = 0;
    for (std::size_t hit; (hit = out.find(form, at)) != std::string::npos; at = hit + form.size()) {
      next.append(out, at, hit - at);
      next += "<api key>";
    }
    next.append(out, at);
    out = std::move(next);
  }
  return out;
}

std::string one_line(std::string_view text, std::size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes) + 3);
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (out.size() >= max_bytes && (c & 0xC0) != 0x80) {  // cut before a lead byte only
      out += "...";
      break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c == 0xC2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      out += ' ';  // a C1 control character (U+0080..U+009F), NEL among them
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace corvane::vast
