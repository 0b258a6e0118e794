#include "vast_core.hpp"

#include <algorithm>
#include <cmath>
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

}  // namespace corvane::vast
