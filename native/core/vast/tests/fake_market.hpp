// A marketplace port over plain values: scripted answers and failures per request, recorded
// requests, sleeps and warnings, and the host's conversions as JSON values have them.
#pragma once

#include <cmath>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "../port.hpp"

namespace corvane::vast::testing {

struct Sent {
  std::string method, url;
  std::optional<Value> body;
};

// A failed request as the host reports it.
inline PortError api_error(std::optional<long long> status, std::string text = "") {
  PortError e;
  e.api_error = true;
  e.no_status = !status;
  e.status = status;
  e.status_text = status ? std::to_string(*status) : "None";
  e.text = std::move(text);
  return e;
}

class FakeMarket : public Marketplace {
 public:
  // The next answers, in order (an empty map once none is left); a failed one throws.
  struct Reply {
    Value answer;
    bool failed = false;
    PortError error;
  };
  std::deque<Reply> replies;
  std::vector<Sent> sent;
  std::vector<long long> slept;
  std::vector<std::string> warnings;
  std::map<std::string, double> env;

  Value send(std::string_view method, const std::string& url, const Value* body) override {
    sent.push_back({std::string(method), url, body ? std::optional<Value>(*body) : std::nullopt});
    if (replies.empty()) return map_value();
    Reply reply = replies.front();
    replies.pop_front();
    if (reply.failed) throw reply.error;
    return reply.answer;
  }
  void answer(Value v) { replies.push_back(Reply{std::move(v), false, PortError()}); }
  void fail(PortError e) { replies.push_back(Reply{null_value(), true, std::move(e)}); }
  void sleep(long long s) override { slept.push_back(s); }
  void warn(const std::string& format) override { warnings.push_back(format); }
  std::optional<double> env_number(const char* name) override {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional<double>(it->second);
  }
  std::optional<HostInt> to_int(const Value& v) override {
    switch (v.kind) {
      case Json::Int:
        return HostInt{v.integer, true};
      case Json::Bool:
        return HostInt{v.truthy ? 1 : 0, true};
      case Json::Float:
        if (!std::isfinite(v.number)) return std::nullopt;
        return HostInt{static_cast<std::int64_t>(v.number), true};
      case Json::Str:
        try {
          std::size_t used = 0;
          long long n = std::stoll(v.text, &used);
          if (used == v.text.size()) return HostInt{n, true};
        } catch (const std::exception&) {
        }
        return std::nullopt;
      default:
        return std::nullopt;
    }
  }
  std::optional<double> to_float(const Value& v) override {
    if (v.kind == Json::Float) return v.number;
    if (auto n = to_int(v)) return static_cast<double>(n->value);
    return std::nullopt;
  }
  std::optional<std::string> text(const Value& v) override {
    if (v.kind == Json::Str) return v.text;
    if (v.kind == Json::Int) return std::to_string(v.integer);
    return std::nullopt;
  }
  std::string quote(const Value& v) override {
    std::string out = "<";
    out += type_name(v);
    out += '>';
    return out;
  }
  std::string type_name(const Value& v) override {
    static const char* names[] = {"missing", "NoneType", "bool", "int",   "float",
                                  "str",     "list",     "dict", "object"};
    return names[static_cast<int>(v.kind)];
  }
};

// The message of the ApiFailure `f` throws; "<accepted>" when it throws none.
template <class F>
std::string failure_of(F&& f) {
  try {
    f();
  } catch (const ApiFailure& e) {
    return e.message;
  }
  return "<accepted>";
}

// A map of text keys, in order.
inline Value map_of(std::vector<std::pair<std::string, Value>> entries) {
  Value m = map_value();
  for (auto& [k, v] : entries) m.set(k, std::move(v));
  return m;
}

// The text keys of a map, in order, space separated.
inline std::string keys_of(const Value& m) {
  std::string out;
  for (const Field& f : m.fields) {
    if (!out.empty()) out += ' ';
    out += f.key.text;
  }
  return out;
}

}  // namespace corvane::vast::testing
