// A JSON value as the adapter reads and writes it: a decoded marketplace answer, a value
// taken from the caller's request, or a request body built here. A value read from the host
// keeps `origin`, the host's own object, so that a value passed back is that very object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules.hpp"

namespace corvane::vast {

inline constexpr std::size_t kNoOrigin = static_cast<std::size_t>(-1);

struct Field;

struct Value {
  Json kind = Json::Missing;
  bool truthy = false;        // the value's truth as the host decides it
  std::string text;           // a Str's text, UTF-8
  bool text_ok = true;        // false: a Str holding lone surrogates (U+FFFD in `text`)
  std::int64_t integer = 0;   // an Int's value when it fits 64 bits
  double number = 0;          // a Float's value
  std::vector<Value> items;   // a List's items
  std::vector<Field> fields;  // a Map's entries, in order
  std::size_t origin = kNoOrigin;

  bool is_map() const { return kind == Json::Map; }
  // A Map's field whose key is the text `key`; null when absent or not a map.
  const Value* get(std::string_view key) const;
  // The field, or a Null value when absent (dict.get).
  const Value& at(std::string_view key) const;
  // dict[key] = v: an existing text key is replaced in place, a new one appended.
  void set(std::string_view key, Value v);
  // dict.update(other) for a map `other`.
  void update(const Value& other);
};

struct Field {
  Value key;
  Value value;
};

Value str_value(std::string_view text);
Value int_value(std::int64_t v);
Value float_value(double v);
Value bool_value(bool v);
Value null_value();
Value list_value(std::vector<Value> items);
Value map_value();

}  // namespace corvane::vast
