// corvane.providers.vast: instances, SSH keys and termination.
#include "vast_host.hpp"

namespace corvane::bindings::vast {

namespace {

// The host int an instance field holds.
nb::object host_int(HostPort& port, const core::InstanceInt& n) {
  if (n.source != nullptr) return builtin("int")(port.write(*n.source));
  return nb::int_(n.value);
}

void check_instance_call(nb::handle instance_id, nb::handle api_key) {
  if (!PyUnicode_Check(instance_id.ptr())) raise_type("instance_id", "a str", instance_id);
  check_key(api_key);
  if (!truthy(api_key)) throw nb::value_error(kNoKey);
}

nb::object parse_with_class(HostPort& port, const core::Value& item) {
  return mod("VastProvider").attr("_parse_instance")(port.write(item));
}

// The retry policy the module's constants set, read at call time.
core::RetryPolicy policy(const char* attempts, const char* statuses) {
  core::RetryPolicy p;
  p.max_attempts = nb::cast<long long>(mod(attempts));
  for (nb::handle s : mod(statuses)) {
    if (s.is_none()) p.none_retryable = true;
    if (PyLong_Check(s.ptr())) p.statuses.push_back(saturated_int(s));
  }
  return p;
}

nb::object terminate_op(const char* op, nb::handle instance_id, nb::handle api_key,
                        bool missing_ok) {
  return entry(op, api_key, true, [&]() -> nb::object {
    check_instance_call(instance_id, api_key);
    core::RetryPolicy p = policy("_TERMINATE_MAX_ATTEMPTS", "_TERMINATE_RETRYABLE_STATUSES");
    HostPort port(api_key, instance_id);
    core::terminate_instance(api_base(), utf8(instance_id), p, missing_ok, port);
    return nb::none();
  });
}

nb::object parse_instance(nb::handle item_map) {
  return entry("_parse_instance", {}, true, [&]() -> nb::object {
    if (!is_map(item_map)) raise_type("item", "a map", item_map);
    HostPort port({});
    core::Value item = port.read(item_map);
    core::InstanceFacts facts = core::parse_instance(item, port);
    nb::dict fields;
    fields["provider"] = kProvider;
    for (const auto& [name, text] : facts.texts) fields[str_of(name)] = str_of(text);
    fields["gpu_count"] = host_int(port, facts.gpu_count);
    fields["ssh_port"] = host_int(port, facts.ssh_port);
    fields["ssh_user"] = "root";
    fields["raw"] = item_map;
    return import("corvane.providers.base").attr("InstanceRef")(**fields);
  });
}

nb::object list_instances(nb::handle, nb::handle api_key) {
  return entry("list_instances", api_key, true, [&]() -> nb::object {
    check_key(api_key);
    if (!truthy(api_key)) throw nb::value_error(kNoKey);
    HostPort port(api_key);
    nb::list out;
    for (const core::Value& item : core::list_instances(api_base(), port)) {
      out.append(parse_with_class(port, item));
    }
    return nb::object(out);
  });
}

nb::object get_instance(nb::handle, nb::handle instance_id, nb::handle api_key) {
  return entry("get_instance", api_key, true, [&]() -> nb::object {
    check_instance_call(instance_id, api_key);
    HostPort port(api_key);
    std::optional<core::Value> item = core::get_instance(api_base(), utf8(instance_id), port);
    if (!item) {
      nb::object message = nb::str("Vast.ai instance {} not found").format(instance_id);
      PyErr_SetObject(PyExc_ValueError, message.ptr());
      throw nb::python_error();
    }
    return parse_with_class(port, *item);
  });
}

nb::object attach_ssh_key(nb::handle, nb::handle instance_id, nb::handle spec, nb::handle api_key) {
  return entry("_attach_ssh_key", api_key, true, [&]() -> nb::object {
    nb::object key = spec.attr("ssh_public_key");
    if (key.is_none() || !truthy(key)) return nb::none();
    HostPort port(api_key, instance_id);
    // The distinct non-blank lines of the key text, split and stripped the host's way.
    std::vector<core::Value> keys;
    nb::list seen;
    for (nb::handle line : key.attr("splitlines")()) {
      nb::object k = line.attr("strip")();
      if (truthy(k) && PySequence_Contains(seen.ptr(), k.ptr()) == 0) {
        seen.append(k);
        keys.push_back(port.read(k));
      }
    }
    if (keys.empty()) return nb::none();
    core::RetryPolicy p = policy("_SSH_ATTACH_MAX_ATTEMPTS", "_SSH_ATTACH_RETRYABLE_STATUSES");
    bool all = core::attach_ssh_keys(api_base(), utf8(instance_id), keys, p, port);
    return nb::object(nb::bool_(all));
  });
}

nb::object terminate(nb::handle, nb::handle instance_id, nb::handle api_key) {
  return terminate_op("terminate", instance_id, api_key, true);
}

// terminate() that reports a 404 (nothing there to remove) as the ProviderApiError it is.
nb::object terminate_existing(nb::handle, nb::handle instance_id, nb::handle api_key) {
  return terminate_op("_terminate_existing", instance_id, api_key, false);
}

}  // namespace

void add_instance_methods(nb::dict ns) {
  auto key = "api_key"_a.none();
  auto id = "instance_id"_a.none();
  add_method(ns, "list_instances", &list_instances, key);
  add_method(ns, "get_instance", &get_instance, id, nb::kw_only(), key);
  add_method(ns, "terminate", &terminate, id, nb::kw_only(), key);
  add_method(ns, "_terminate_existing", &terminate_existing, id, nb::kw_only(), key);
  add_method(ns, "_attach_ssh_key", &attach_ssh_key, id, "spec"_a, key);
  ns["_parse_instance"] = builtin("staticmethod")(
      nb::cpp_function(&parse_instance, nb::name("_parse_instance"), "item"_a.none()));
}

}  // namespace corvane::bindings::vast
