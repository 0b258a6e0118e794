#include "finding_record.hpp"

#include <nanobind/stl/string.h>

#include <string>

namespace corvane::bindings {
namespace {

// The record can hold anything, its details even the record itself: take part in the
// host's cycle collection so such cycles are freed.
int finding_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  auto* f = nb::inst_ptr<MonitorFinding>(self);
  Py_VISIT(f->event_type.ptr());
  Py_VISIT(f->severity.ptr());
  Py_VISIT(f->summary.ptr());
  Py_VISIT(f->details.ptr());
  return 0;
}

int finding_clear(PyObject* self) {
  auto* f = nb::inst_ptr<MonitorFinding>(self);
  f->event_type.reset();
  f->severity.reset();
  f->summary.reset();
  f->details.reset();
  return 0;
}

PyType_Slot finding_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(finding_traverse)},
                               {Py_tp_clear, reinterpret_cast<void*>(finding_clear)},
                               {0, nullptr}};

nb::object field_or_none(const nb::object& o) { return o.is_valid() ? o : nb::none(); }

nb::tuple fields(const MonitorFinding& f) {
  return nb::make_tuple(field_or_none(f.event_type), field_or_none(f.severity),
                        field_or_none(f.summary), field_or_none(f.details));
}

}  // namespace

void bind_monitor_finding(nb::module_& m) {
  // A distinct object marks "details not given", so an explicit None is kept as given.
  nb::object missing = nb::module_::import_("builtins").attr("object")();
  m.attr("_MISSING") = missing;
  auto cls =
      nb::class_<MonitorFinding>(m, "MonitorFinding", nb::type_slots(finding_slots),
                                 "One finding of the job monitor: event type, severity, "
                                 "summary and a map of supporting details.")
          .def(
              "__init__",
              [missing](MonitorFinding* self, nb::object event_type, nb::object severity,
                        nb::object summary, nb::object details) {
                if (details.is(missing)) details = nb::dict();
                new (self) MonitorFinding{std::move(event_type), std::move(severity),
                                          std::move(summary), std::move(details)};
              },
              nb::arg("event_type").none(), nb::arg("severity").none(),
              nb::arg("summary").none(), nb::arg("details").none() = missing)
          .def_rw("event_type", &MonitorFinding::event_type, nb::arg().none())
          .def_rw("severity", &MonitorFinding::severity, nb::arg().none())
          .def_rw("summary", &MonitorFinding::summary, nb::arg().none())
          .def_rw("details", &MonitorFinding::details, nb::arg().none())
          .def("__eq__",
               [](const MonitorFinding& self, nb::handle other) -> nb::object {
                 if (!nb::isinstance<MonitorFinding>(other)) {
                   return nb::borrow(Py_NotImplemented);
                 }
                 const auto& o = nb::cast<const MonitorFinding&>(other);
                 return nb::bool_(fields(self).equal(fields(o)));
               })
          .def("__repr__", [](const MonitorFinding& self) {
            std::string out = "MonitorFinding(event_type=";
            out += nb::repr(field_or_none(self.event_type)).c_str();
            out += ", severity=";
            out += nb::repr(field_or_none(self.severity)).c_str();
            out += ", summary=";
            out += nb::repr(field_or_none(self.summary)).c_str();
            out += ", details=";
            out += nb::repr(field_or_none(self.details)).c_str();
            out += ")";
            return out;
          });
  // A mutable record compares by value, so it must not be hashable.
  cls.attr("__hash__") = nb::none();
  cls.attr("__match_args__") =
      nb::make_tuple("event_type", "severity", "summary", "details");
}

nb::object make_finding(nb::handle event_type, nb::handle severity, nb::handle summary,
                        nb::handle details) {
  return nb::cast(MonitorFinding{nb::borrow(event_type), nb::borrow(severity),
                                 nb::borrow(summary), nb::borrow(details)},
                  nb::rv_policy::move);
}

}  // namespace corvane::bindings
