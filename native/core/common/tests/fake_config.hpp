// A configuration of plain values for the settings readers' tests: each value answers as
// a host value of its kind would.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "../settings.hpp"

namespace corvane::testing {

struct FakeValue : ConfigValue {
  std::map<std::string, std::shared_ptr<FakeValue>, std::less<>> items;
  bool map = false, boolean = false, none = false;
  std::optional<std::int64_t> as_whole;
  std::optional<double> as_number, as_duration;
  std::optional<std::string> as_text;
  std::optional<bool> as_truth;
  std::string shown = "?";

  std::shared_ptr<ConfigValue> item(std::string_view key) override {
    auto it = items.find(key);
    return it == items.end() ? nullptr : it->second;
  }
  bool is_map() override { return map; }
  bool is_bool() override { return boolean; }
  bool is_none() override { return none; }
  std::optional<std::int64_t> whole_number() override { return as_whole; }
  std::optional<double> number() override { return as_number; }
  std::optional<double> duration() override { return as_duration; }
  std::optional<std::string> text() override { return as_text; }
  std::optional<bool> truth() override { return as_truth; }
  std::string repr() override { return shown; }
};
using Fake = std::shared_ptr<FakeValue>;

inline Fake map_of(std::initializer_list<std::pair<const std::string, Fake>> items) {
  auto v = std::make_shared<FakeValue>();
  v->map = true;
  v->items.insert(items.begin(), items.end());
  v->as_truth = !v->items.empty();
  v->shown = "{...}";
  return v;
}

// A number as the host's float() reads it; `shown` is its repr.
inline Fake number(double d, std::string shown) {
  auto v = std::make_shared<FakeValue>();
  v->as_number = d;
  v->as_text = shown;
  v->as_truth = d != 0;
  v->shown = std::move(shown);
  return v;
}

// An int.
inline Fake whole(std::int64_t n) {
  auto v = number(static_cast<double>(n), std::to_string(n));
  v->as_whole = n;
  return v;
}

inline Fake none() {
  auto v = std::make_shared<FakeValue>();
  v->none = true;
  v->as_text = "None";
  v->as_truth = false;
  v->shown = "None";
  return v;
}

inline Fake boolean(bool b) {
  auto v = std::make_shared<FakeValue>();
  v->boolean = true;
  v->as_whole = b ? 1 : 0;
  v->as_number = b ? 1.0 : 0.0;
  v->as_text = b ? "True" : "False";
  v->as_truth = b;
  v->shown = b ? "True" : "False";
  return v;
}

// A str; `seconds` is what it reads as a duration, when it is one.
inline Fake text(const std::string& s, std::optional<double> seconds = std::nullopt) {
  auto v = std::make_shared<FakeValue>();
  v->as_text = s;
  v->as_duration = seconds;
  v->as_truth = !s.empty();
  v->shown = "'" + s + "'";
  return v;
}

// An object whose str() and bool() both fail.
inline Fake unreadable(std::string shown) {
  auto v = std::make_shared<FakeValue>();
  v->shown = std::move(shown);
  return v;
}

}  // namespace corvane::testing
