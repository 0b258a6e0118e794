// The Vast.ai adapter's binding: host values to the core's values and back, the host's
// services behind the core's marketplace port, its errors, and the guard every entry point
// runs in. Every decision lives in native/core/vast.
#pragma once

#include <cxxabi.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "../core/vast/instances.hpp"
#include "../core/vast/launch.hpp"
#include "../core/vast/requests.hpp"
#include "../core/vast/rules.hpp"
#include "../core/vast/search.hpp"
#include "host.hpp"

namespace corvane::bindings::vast {

namespace nb = nanobind;
using namespace nb::literals;
using corvane::bindings::builtin;
using corvane::bindings::import;
using corvane::bindings::raise_type;
using corvane::bindings::str_of;
using corvane::bindings::truthy;
namespace core = corvane::vast;

inline nb::handle g_module;  // the module; its host services are read at call time

inline nb::object mod(const char* name) { return g_module.attr(name); }

constexpr const char* kProvider = "vast";
constexpr const char* kNoKey = "Vast.ai API key is required";
// Longest piece of an answer quoted in a message.
constexpr std::size_t kQuoteBytes = 300;

// UTF-8 of a host str (lone surrogates read as U+FFFD), never failing.
std::string utf8(nb::handle s);
// str(v) as UTF-8; a value whose str() fails raises that host error.
inline std::string str_text(nb::handle v) { return utf8(nb::str(v)); }

// A host error met while the core runs: carried through the core and raised again as it was.
struct HostError : core::PortError {
  nb::python_error error;
  explicit HostError(nb::python_error&& e);
};

// Host values as the core's values, and back: a value read keeps its host object, which is
// what is written back for it.
class HostValues {
 public:
  core::Value read(nb::handle h, int depth = 0);
  nb::object write(const core::Value& v);

 private:
  std::vector<nb::object> kept_;
};

// The marketplace port over the host: the module's http_json / http_get_json, time.sleep,
// its logger and os.environ, all read at call time. Host errors become HostError.
class HostPort final : public core::Marketplace {
 public:
  explicit HostPort(nb::handle api_key, nb::handle instance = nb::handle())
      : key_(api_key), instance_(instance) {}
  core::Value read(nb::handle h);
  nb::object write(const core::Value& v) { return values_.write(v); }

  core::Value send(std::string_view method, const std::string& url,
                   const core::Value* body) override;
  void sleep(long long seconds) override;
  void warn(const std::string& format) override;
  std::optional<double> env_number(const char* name) override;
  std::optional<core::HostInt> to_int(const core::Value& v) override;
  std::optional<double> to_float(const core::Value& v) override;
  std::optional<std::string> text(const core::Value& v) override;
  std::string quote(const core::Value& v) override;
  std::string type_name(const core::Value& v) override;

 private:
  HostValues values_;
  nb::handle key_, instance_;
};

void check_key(nb::handle api_key);
// The API base URL: CORVANE_VAST_API_BASE from the environment, else VAST_API_BASE.
std::string api_base();
// max(int(value), 1) as a host int; TypeError when `value` has no integer.
nb::object at_least_one(const char* what, nb::handle value);
// The request's provider hints as (key, value) pairs.
std::vector<core::Field> read_hints(HostPort& port, nb::handle spec);
// A host int as a 64-bit number, saturated.
std::int64_t saturated_int(nb::handle n);

[[noreturn]] void raise_provider_obj(nb::handle status, nb::handle message);
[[noreturn]] void raise_provider(std::optional<long long> status, const std::string& message);
// Raises the host error of a host-error-carrying C++ exception; otherwise returns.
void raise_host_error(nb::python_error& e, nb::handle api_key);
// An internal error of entry point `op`: a ProviderApiError or a RuntimeError.
[[noreturn]] void raise_internal(const char* op, const char* what, bool provider_op);

// Runs one entry point. Host errors pass unchanged (less the API key); a refused answer is a
// ProviderApiError; a C++ exception, which only a fault here can cause, becomes a
// ProviderApiError for the marketplace operations and a RuntimeError for the plain helpers.
template <class F>
auto entry(const char* op, nb::handle api_key, bool provider_op, F&& body) -> decltype(body()) {
  try {
    try {
      return body();
    } catch (HostError& e) {
      throw nb::python_error(e.error);
    } catch (const core::ApiFailure& e) {
      raise_provider(e.status, e.message);
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (nb::python_error& e) {
    raise_host_error(e, api_key);
    throw;
  } catch (nb::builtin_exception&) {
    throw;  // TypeError / ValueError raised on purpose
  } catch (const std::exception& e) {
    raise_internal(op, e.what(), provider_op);
  } catch (...) {
    raise_internal(op, nullptr, provider_op);
  }
}

// The adapter's operations, bound as the provider's methods: the search and launches
// (vast_offers.cpp, with the module's launch helpers) and instances (vast_instances.cpp).
void add_offer_methods(nb::module_& m, nb::dict ns);
template <class Fn, class... Args>
void add_method(nb::dict ns, const char* name, Fn fn, const Args&... args) {
  ns[name] = nb::cpp_function(fn, nb::is_method(), nb::name(name), args...);
}
void add_instance_methods(nb::dict ns);

}  // namespace corvane::bindings::vast
