// What the adapter's decisions need from outside: the marketplace (one JSON request at a
// time), a sleeper for back-off, a warning log, the environment, and the host's own reading
// of values it supplied (its int(), float(), str() and repr()). The binding implements it
// over the host; tests implement it over plain values.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "value.hpp"

namespace corvane::vast {

// A request or host call that failed. The binding throws a subclass that carries the host's
// own error, so a failure the rules let stand reaches the caller unchanged.
struct PortError : std::exception {
  bool api_error = false;           // the host's ProviderApiError
  bool ordinary = true;             // an Exception (not an interrupt or exit)
  bool no_status = false;           // its status is None
  std::optional<long long> status;  // its status, when an integer
  std::string status_text;          // str() of its status
  std::string text;                 // str() of the error
  const char* what() const noexcept override { return "host call failed"; }
};

// A marketplace answer this adapter refuses, or a failure it decides on: raised to the
// caller as ProviderApiError(provider, status, message).
struct ApiFailure : std::exception {
  std::optional<long long> status;
  std::string message;
  ApiFailure(std::optional<long long> s, std::string m) : status(s), message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// The host's int() of a value, saturated at the 64-bit bounds (`exact` false when it was).
struct HostInt {
  std::int64_t value = 0;
  bool exact = true;
};

class Host {
 public:
  virtual ~Host() = default;
  // int(v) / float(v); nothing when the host refuses (TypeError, ValueError, OverflowError).
  virtual std::optional<HostInt> to_int(const Value& v) = 0;
  virtual std::optional<double> to_float(const Value& v) = 0;
  // str(v); nothing when it fails.
  virtual std::optional<std::string> text(const Value& v) = 0;
  // repr(v) on one bounded line, and the name of v's type, for messages.
  virtual std::string quote(const Value& v) = 0;
  virtual std::string type_name(const Value& v) = 0;
};

class Marketplace : public Host {
 public:
  // One request; `body` is null for a GET. Throws PortError.
  virtual Value send(std::string_view method, const std::string& url, const Value* body) = 0;
  virtual void sleep(long long seconds) = 0;
  // A warning whose one "%s" is the instance identifier as the caller gave it.
  virtual void warn(const std::string& format) = 0;
  // float() of an environment variable; nothing when unset or not a number.
  virtual std::optional<double> env_number(const char* name) = 0;
};

}  // namespace corvane::vast
