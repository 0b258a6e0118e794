#include "value.hpp"

#include <utility>

namespace corvane::vast {

namespace {
bool text_key(const Value& key, std::string_view text) {
  return key.kind == Json::Str && key.text_ok && key.text == text;
}
}  // namespace

const Value* Value::get(std::string_view key) const {
  if (kind != Json::Map) return nullptr;
  const Value* found = nullptr;
  for (const Field& f : fields) {
    if (text_key(f.key, key)) found = &f.value;  // the last one, as assignment left it
  }
  return found;
}

const Value& Value::at(std::string_view key) const {
  static const Value null = null_value();
  const Value* v = get(key);
  return v != nullptr ? *v : null;
}

void Value::set(std::string_view key, Value v) {
  for (Field& f : fields) {
    if (text_key(f.key, key)) {
      f.value = std::move(v);
      return;
    }
  }
  fields.push_back(Field{str_value(key), std::move(v)});
  truthy = true;
}

void Value::update(const Value& other) {
  for (const Field& f : other.fields) {
    if (f.key.kind == Json::Str && f.key.text_ok) {
      set(f.key.text, f.value);
    } else {
      fields.push_back(f);  // written back in order, the host's dict decides equal keys
      truthy = true;
    }
  }
}

Value str_value(std::string_view text) {
  Value v;
  v.kind = Json::Str;
  v.text = std::string(text);
  v.truthy = !text.empty();
  return v;
}

Value int_value(std::int64_t i) {
  Value v;
  v.kind = Json::Int;
  v.integer = i;
  v.truthy = i != 0;
  return v;
}

Value float_value(double d) {
  Value v;
  v.kind = Json::Float;
  v.number = d;
  v.truthy = d != 0;  // NaN is true
  return v;
}

Value bool_value(bool b) {
  Value v;
  v.kind = Json::Bool;
  v.truthy = b;
  return v;
}

Value null_value() {
  Value v;
  v.kind = Json::Null;
  return v;
}

Value list_value(std::vector<Value> items) {
  Value v;
  v.kind = Json::List;
  v.truthy = !items.empty();
  v.items = std::move(items);
  return v;
}

Value map_value() {
  Value v;
  v.kind = Json::Map;
  return v;
}

}  // namespace corvane::vast
