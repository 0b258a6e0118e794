// Host-style plain records (MonitorFinding, LaunchResult, GPUProfile) for nanobind.
//
// A record holds one host object per field. It is built positionally or by keyword with
// per-field defaults, compares field by field, has a readable repr, pickles, supports
// copy.replace, and takes part in cycle collection. A frozen record is hashable and
// refuses assignment with AttributeError; a mutable one is unhashable.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <string>
#include <string_view>

namespace corvane::bindings {

namespace nb = nanobind;

struct FieldSpec {
  enum Kind { kRequired, kNone, kNewDict, kText, kZero };
  const char* name;
  Kind kind = kRequired;
  const char* text = nullptr;  // the default of a kText field
};

template <class Tag, std::size_t N>
struct Record {
  static constexpr std::size_t kSize = N;
  std::array<nb::object, N> f;

  nb::object get(std::size_t i) const { return f[i].is_valid() ? f[i] : nb::none(); }
  nb::tuple values() const {
    nb::list items;
    for (std::size_t i = 0; i < N; ++i) items.append(get(i));
    return nb::tuple(items);
  }
};

namespace record_detail {

template <class R>
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  for (auto& v : nb::inst_ptr<R>(self)->f) Py_VISIT(v.ptr());
  return 0;
}

template <class R>
int clear(PyObject* self) {
  for (auto& v : nb::inst_ptr<R>(self)->f) v.reset();
  return 0;
}

template <std::size_t N>
int index_of(const std::array<FieldSpec, N>& fields, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == fields[i].name) return static_cast<int>(i);
  }
  return -1;
}

[[noreturn]] inline void fail(const std::string& type, const std::string& what) {
  throw nb::type_error((type + "() " + what).c_str());
}

}  // namespace record_detail

// Fill a record from host call arguments, applying defaults.
template <class R, std::size_t N>
R record_from_args(const char* type, const std::array<FieldSpec, N>& fields, nb::args args,
                   nb::kwargs kwargs) {
  R r;
  if (args.size() > N) {
    record_detail::fail(type, "takes " + std::to_string(N) + " arguments but " +
                                  std::to_string(args.size()) + " were given");
  }
  for (std::size_t i = 0; i < args.size(); ++i) r.f[i] = nb::borrow(args[i]);
  for (auto [key, value] : kwargs) {
    std::string name = nb::cast<std::string>(key);
    int i = record_detail::index_of(fields, name);
    if (i < 0) record_detail::fail(type, "got an unexpected keyword argument '" + name + "'");
    if (r.f[i].is_valid())
      record_detail::fail(type, "got multiple values for argument '" + name + "'");
    r.f[i] = nb::borrow(value);
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (r.f[i].is_valid()) continue;
    switch (fields[i].kind) {
      case FieldSpec::kRequired:
        record_detail::fail(type,
                            std::string("missing required argument '") + fields[i].name + "'");
      case FieldSpec::kNone:
        r.f[i] = nb::none();
        break;
      case FieldSpec::kNewDict:
        r.f[i] = nb::dict();
        break;  // a new map per record
      case FieldSpec::kText:
        r.f[i] = nb::str(fields[i].text);
        break;
      case FieldSpec::kZero:
        r.f[i] = nb::int_(0);
        break;
    }
  }
  return r;
}

template <class R>
nb::object new_record(R&& r) {
  return nb::cast(std::move(r), nb::rv_policy::move);
}

template <class R, std::size_t N>
nb::class_<R> bind_record(nb::module_& m, const char* name, const std::array<FieldSpec, N>& fields,
                          bool frozen, const char* doc) {
  static_assert(R::kSize == N);
  static PyType_Slot slots[] = {
      {Py_tp_traverse, reinterpret_cast<void*>(&record_detail::traverse<R>)},
      {Py_tp_clear, reinterpret_cast<void*>(&record_detail::clear<R>)},
      {0, nullptr}};
  nb::class_<R> cls(m, name, nb::type_slots(slots), doc);
  cls.def("__init__", [name, fields](R* self, nb::args args, nb::kwargs kwargs) {
    new (self) R(record_from_args<R>(name, fields, args, kwargs));
  });
  for (std::size_t i = 0; i < N; ++i) {
    auto getter = [i](const R& r) { return r.get(i); };
    if (frozen) {
      cls.def_prop_ro(fields[i].name, getter);
    } else {
      cls.def_prop_rw(
          fields[i].name, getter, [i](R& r, nb::object v) { r.f[i] = std::move(v); },
          nb::for_setter(nb::arg("value").none()));
    }
  }
  // None and other types compare unequal (so `None in findings` works).
  cls.def(
      "__eq__",
      [](const R& self, nb::handle other) -> nb::object {
        if (!nb::isinstance<R>(other)) return nb::borrow(Py_NotImplemented);
        return nb::bool_(self.values().equal(nb::cast<const R&>(other).values()));
      },
      nb::arg("other").none());
  cls.def("__repr__", [name, fields](const R& self) {
    std::string out = std::string(name) + "(";
    for (std::size_t i = 0; i < N; ++i) {
      if (i) out += ", ";
      out += fields[i].name;
      out += "=";
      out += nb::repr(self.get(i)).c_str();
    }
    return out + ")";
  });
  cls.def("__replace__", [name, fields](const R& self, nb::kwargs changes) {
    R copy = self;
    for (auto [key, value] : changes) {
      std::string field = nb::cast<std::string>(key);
      int i = record_detail::index_of(fields, field);
      if (i < 0) record_detail::fail(name, "got an unexpected keyword argument '" + field + "'");
      copy.f[i] = nb::borrow(value);
    }
    return new_record(std::move(copy));
  });
  cls.def("__reduce__", [](nb::handle self) {
    return nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))),
                          nb::cast<const R&>(self).values());
  });
  nb::list names;
  for (const auto& f : fields) names.append(f.name);
  cls.attr("__match_args__") = nb::tuple(names);
  if (frozen) {
    cls.def("__hash__", [](const R& self) { return nb::hash(self.values()); });
  } else {
    cls.attr("__hash__") = nb::none();  // compares by value and can change: not hashable
  }
  return cls;
}

}  // namespace corvane::bindings
