// corvane.providers.vast: instances, SSH keys and termination.
#include <cxxabi.h>

#include "vast_host.hpp"

namespace corvane::bindings::vast {

// -- instances, keys, termination ---------------------------------------------------------

[[noreturn]] void raise_bad_instance(const char* key, const std::string& detail) {
  raise_malformed("instance", "'" + std::string(key) + "' " + detail);
}

// The text of an instance item's value: a str must be real text (no lone surrogates);
// another value is the host's str() of it.
nb::object instance_text(const char* key, nb::handle v) {
  if (PyUnicode_Check(v.ptr())) {
    if (PyUnicode_AsUTF8AndSize(v.ptr(), nullptr) == nullptr) {
      PyErr_Clear();
      raise_bad_instance(key, "is not valid text: " + quote(v));
    }
    return nb::str(v);
  }
  PyObject* s = PyObject_Str(v.ptr());
  if (s == nullptr) {
    PyErr_Clear();
    raise_bad_instance(key, "has no text form: " + quote(v));
  }
  return nb::steal(s);
}

// int(v) of an instance item's value.
nb::object instance_int(const char* key, nb::handle v) {
  nb::object n = try_convert(v, PyNumber_Long);
  if (!n.is_valid()) raise_bad_instance(key, "is not an integer: " + quote(v));
  return n;
}

nb::object parse_instance(nb::handle item_map) {
  if (!is_map(item_map)) raise_type("item", "a map", item_map);
  nb::object gpus = item(item_map, "num_gpus");
  nb::object count = truthy(gpus) ? instance_int("num_gpus", gpus) : nb::object(nb::int_(0));
  if (count < nb::int_(1)) count = nb::int_(1);
  nb::dict fields;
  fields["provider"] = kProvider;
  for (const core::InstanceTextField& f : core::instance_text_fields()) {
    nb::object value = str_of(std::string(f.fallback));
    for (std::string_view key : f.keys) {
      std::string k(key);
      nb::object v = item(item_map, k.c_str());
      if (truthy(v)) {
        value = instance_text(k.c_str(), v);
        break;
      }
    }
    fields[str_of(std::string(f.name))] = value;
  }
  nb::object port = item(item_map, "ssh_port");
  fields["gpu_count"] = count;
  fields["ssh_port"] = truthy(port) ? instance_int("ssh_port", port) : nb::object(nb::int_(0));
  fields["ssh_user"] = "root";
  fields["raw"] = item_map;
  return import("corvane.providers.base").attr("InstanceRef")(**fields);
}

std::string instance_url(nb::handle instance_id, const char* tail = "/") {
  std::string storage;
  return core::instance_url(api_base(), utf8_of(instance_id, storage), tail);
}

void check_instance_call(nb::handle instance_id, nb::handle api_key) {
  if (!PyUnicode_Check(instance_id.ptr())) raise_type("instance_id", "a str", instance_id);
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
}

nb::list list_instances(nb::handle api_key) {
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
  std::string url = api_base() + "/instances/";
  nb::object answer;
  try {
    answer =
        mod("http_get_json")(str_of(url), "headers"_a = auth(api_key), "provider"_a = kProvider);
  } catch (nb::python_error& e) {
    // The marketplace retires the v0 listing for some accounts with exactly this answer;
    // v1 has the same shape. Anything else is a failure as before.
    if (!e.matches(mod("ProviderApiError"))) throw;
    std::optional<long long> status = status_code(nb::getattr(e.value(), "status", nb::none()));
    PyObject* shown = PyObject_Str(e.value().ptr());
    if (shown == nullptr) PyErr_Clear();
    std::string shown_text = shown != nullptr ? utf8(nb::steal(shown)) : "";
    std::optional<std::string> v1 = core::listing_fallback_url(url, status, shown_text);
    if (!v1) throw;
    answer =
        mod("http_get_json")(str_of(*v1), "headers"_a = auth(api_key), "provider"_a = kProvider);
  }
  nb::list out;
  for (nb::handle it : answer_list(answer, "instances", "instance listing")) {
    if (is_map(it)) out.append(mod("VastProvider").attr("_parse_instance")(it));
  }
  return out;
}

nb::object get_instance(nb::handle instance_id, nb::handle api_key) {
  check_instance_call(instance_id, api_key);
  nb::object payload = mod("http_get_json")(str_of(instance_url(instance_id)),
                                            "headers"_a = auth(api_key), "provider"_a = kProvider);
  nb::object result = payload;
  if (is_map(payload)) {
    nb::object inner = field(payload, "instances");
    switch (core::pick_instance(kind_of(inner))) {
      case core::InstancePick::FirstOfList:
        result = nb::len(inner) > 0 ? nb::object(inner[0]) : nb::object(nb::dict());
        break;
      case core::InstancePick::Inner:
        result = inner;
        break;
      case core::InstancePick::Nothing:
        result = nb::dict();
        break;
      case core::InstancePick::Answer:
        break;
    }
  }
  if (!is_map(result) || !truthy(result)) {
    raise_value_error(nb::str("Vast.ai instance {} not found").format(instance_id));
  }
  return mod("VastProvider").attr("_parse_instance")(result);
}

// Whether a host error is a ProviderApiError whose status is in `statuses`.
bool status_in(nb::python_error& e, nb::handle statuses) {
  if (!e.matches(mod("ProviderApiError"))) return false;
  nb::object status = nb::getattr(e.value(), "status", nb::none());
  int r = PySequence_Contains(statuses.ptr(), status.ptr());
  if (r < 0) PyErr_Clear();
  return r == 1;
}

// One attempt to attach one key: true when the marketplace took it.
bool attach_once(const std::string& url, nb::handle key, nb::handle api_key) {
  nb::dict body;
  body["ssh_key"] = key;
  nb::object answer =
      mod("http_json")(str_of(url), "method"_a = "POST", "headers"_a = auth(api_key),
                       "body"_a = body, "provider"_a = kProvider);
  std::optional<bool> success;
  std::string message;
  if (is_map(answer)) {
    nb::object msg = field(answer, "msg");
    if (msg.is_valid()) message = utf8(nb::str(msg).attr("lower")());
    nb::object flag = item(answer, "success");
    if (PyBool_Check(flag.ptr())) success = flag.is(nb::handle(Py_True));
  }
  if (core::key_attached(success, message)) return true;
  raise_provider(nb::int_(200), "Vast.ai ssh-key attach failed: " + quote(answer));
}

nb::object attach_ssh_key(nb::handle instance_id, nb::handle spec, nb::handle api_key) {
  nb::object key = spec.attr("ssh_public_key");
  if (key.is_none() || !truthy(key)) return nb::none();
  nb::list keys;
  for (nb::handle line : key.attr("splitlines")()) {
    nb::object k = line.attr("strip")();
    if (truthy(k) && PySequence_Contains(keys.ptr(), k.ptr()) == 0) keys.append(k);
  }
  if (nb::len(keys) == 0) return nb::none();
  long long max_attempts = nb::cast<long long>(mod("_SSH_ATTACH_MAX_ATTEMPTS"));
  nb::object retryable = mod("_SSH_ATTACH_RETRYABLE_STATUSES");
  std::string url = instance_url(instance_id, "/ssh/");
  bool all = true;
  Py_ssize_t total = nb::len(keys);
  for (Py_ssize_t i = 0; i < total; ++i) {
    for (long long attempt = 1;; ++attempt) {
      // Best effort: whatever an attempt meets (a failed request, an answer of any shape,
      // a fault here) fails that attempt only; the key also travels in the launch itself.
      bool again = false;
      try {
        if (attach_once(url, keys[i], api_key)) break;
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        again = status_in(e, retryable);
      } catch (...) {
      }
      if (core::after_failure(attempt, max_attempts, again, false) == core::AfterFailure::kRetry) {
        long long delay = core::retry_delay_s(attempt);
        mod("log").attr("warning")(
            "vast: ssh-key attach attempt %d/%d failed for instance %s key %d/%d; retrying in "
            "%ds",
            attempt, max_attempts, instance_id, i + 1, total, delay);
        import("time").attr("sleep")(delay);
        continue;
      }
      mod("log").attr("warning")(
          "vast: per-instance ssh-key attach failed for instance %s key %d/%d; relying on "
          "onstart/PUBLIC_KEY fallback",
          instance_id, i + 1, total);
      all = false;
      break;
    }
  }
  return nb::bool_(all);
}

// DELETE with retries of transient statuses. A 404 means the instance is gone: success for
// terminate(), an error for a caller that must know whether it removed something.
nb::object terminate_instance(nb::handle instance_id, nb::handle api_key, bool missing_ok) {
  check_instance_call(instance_id, api_key);
  long long max_attempts = nb::cast<long long>(mod("_TERMINATE_MAX_ATTEMPTS"));
  nb::object retryable = mod("_TERMINATE_RETRYABLE_STATUSES");
  std::string url = instance_url(instance_id);
  for (long long attempt = 1;; ++attempt) {
    try {
      mod("http_json")(str_of(url), "method"_a = "DELETE", "headers"_a = auth(api_key),
                       "body"_a = nb::dict(), "provider"_a = kProvider);
      return nb::none();
    } catch (nb::python_error& e) {
      if (!e.matches(mod("ProviderApiError"))) throw;
      nb::object status = nb::getattr(e.value(), "status", nb::none());
      bool gone = missing_ok && status.equal(nb::int_(404));
      switch (core::after_failure(attempt, max_attempts, !gone && status_in(e, retryable), gone)) {
        case core::AfterFailure::kGone:
          return nb::none();
        case core::AfterFailure::kGiveUp:
          throw;
        case core::AfterFailure::kRetry:
          break;
      }
      long long delay = core::retry_delay_s(attempt);
      mod("log").attr("warning")(
          "vast: terminate attempt %d/%d failed for instance %s with status %s; retrying in %ds",
          attempt, max_attempts, instance_id, status, delay);
      import("time").attr("sleep")(delay);
    }
  }
}

}  // namespace corvane::bindings::vast
