// corvane.trust.baselines: GPUProfile, the baseline table, lookup, overrides and reporting.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>

#include "../core/common/pyfloat.hpp"
#include "../core/trust/baselines_table.hpp"
#include "../core/trust/profile_fields.hpp"
#include "host.hpp"
#include "record.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using corvane::bindings::as_double;
using corvane::bindings::is_map;
using corvane::bindings::raise_type;
using corvane::bindings::utf8_of;
namespace trust = corvane::trust;

namespace {

constexpr std::size_t kFieldCount = trust::kProfileFieldCount;
using corvane::bindings::FieldSpec;
using trust::FieldKind;

// The record's fields: the core's names; the vendor defaults to "nvidia".
std::array<FieldSpec, kFieldCount> record_fields() {
  std::array<FieldSpec, kFieldCount> specs{};
  for (std::size_t i = 0; i < kFieldCount; ++i) specs[i] = {trust::profile_fields()[i].name};
  specs[kFieldCount - 1] = {"vendor", FieldSpec::kText, "nvidia"};
  return specs;
}
const std::array<FieldSpec, kFieldCount> kFields = record_fields();

FieldKind kind_of(std::size_t i) { return trust::profile_fields()[i].kind; }

// The frozen record of one GPU model's expected performance. Field values are host
// objects: overrides may put in whatever the configuration holds.
using GPUProfile = corvane::bindings::Record<struct GPUProfileTag, kFieldCount>;

nb::handle g_baselines;  // the BASELINES tuple, owned by the module

nb::object field(const GPUProfile& p, std::size_t i) { return p.get(i); }

nb::object new_profile(GPUProfile&& p) { return corvane::bindings::new_record(std::move(p)); }

nb::object optional_float(const std::optional<double>& v) {
  return v ? nb::object(nb::float_(*v)) : nb::none();
}
nb::object optional_bool(const std::optional<bool>& v) {
  return v ? nb::object(nb::bool_(*v)) : nb::none();
}

nb::object profile_from_core(const trust::Profile& c) {
  const trust::ProfileSpec& s = c.spec;
  nb::list subs;
  for (auto frag : s.match_substrings) subs.append(nb::str(frag.data(), frag.size()));
  GPUProfile p{{nb::str(s.name.data(), s.name.size()),
                nb::tuple(subs),
                optional_float(s.nvlink_expected_bw_gbps),
                optional_float(c.nvlink_warn_bw_gbps),
                optional_float(c.nvlink_fail_bw_gbps),
                nb::int_(s.nvlink_link_count),
                nb::float_(s.nccl_expected_busbw_gbps),
                nb::float_(c.nccl_warn_busbw_gbps),
                nb::float_(c.nccl_fail_busbw_gbps),
                nb::int_(s.pcie_expected_gen),
                nb::int_(s.pcie_expected_width),
                nb::float_(s.fp16_tflops_expected),
                nb::float_(s.reference_tflops_expected),
                nb::float_(c.reference_tflops_warn),
                nb::float_(c.reference_tflops_fail),
                nb::float_(s.memory_bw_expected_gbps),
                optional_bool(s.has_ecc),
                optional_bool(s.has_nvlink),
                nb::float_(s.tdp_watts),
                nb::int_(s.matmul_size),
                nb::str(s.vendor.data(), s.vendor.size())}};
  return new_profile(std::move(p));
}

// -- host-value helpers -------------------------------------------------------------------

void check_name(nb::handle name, const char* what) {
  if (!name.is_none() && !PyUnicode_Check(name.ptr())) raise_type(what, "a str or None", name);
}

void check_config(nb::handle config) {
  if (!config.is_none() && !is_map(config)) raise_type("config", "a mapping or None", config);
}

// text.strip().lower() as the host does it (Unicode white space and case rules).
nb::str folded(nb::handle text) { return nb::str(text.attr("strip")().attr("lower")()); }

nb::str folded_name(nb::handle name) {
  if (name.is_none()) return nb::str("");
  return folded(name);
}

// An int, a float or another numbers.Real; a bool is not taken for a number here.
bool is_real_number(nb::handle v) {
  if (PyBool_Check(v.ptr())) return false;
  if (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr())) return true;
  static nb::handle real_abc = nb::object(nb::module_::import_("numbers").attr("Real")).release();
  int is_real = PyObject_IsInstance(v.ptr(), real_abc.ptr());
  if (is_real < 0) throw nb::python_error();
  return is_real == 1;
}

// Whether a real number is finite; an int too large for a float is not.
bool is_finite_number(nb::handle v) {
  double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
    PyErr_Clear();
    return false;
  }
  return std::isfinite(d);
}

// A whole number >= 0 (an int or anything with __index__ other than a bool).
bool is_count(nb::handle v) {
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) return false;
  nb::object index = nb::steal(PyNumber_Index(v.ptr()));
  if (!index.is_valid()) throw nb::python_error();
  int negative = PyObject_RichCompareBool(index.ptr(), nb::int_(0).ptr(), Py_LT);
  if (negative < 0) throw nb::python_error();
  return negative == 0;
}

// repr(value), cut to a length that keeps an error message on one short line.
std::string shown(nb::handle value) { return trust::shown(nb::cast<std::string>(nb::repr(value))); }

// The host value of an override entry, asked what the core needs to know of it.
class HostValueProbe final : public trust::ValueProbe {
 public:
  explicit HostValueProbe(nb::handle v) : v_(v) {}
  bool is_none() override { return v_.is_none(); }
  bool is_bool() override { return PyBool_Check(v_.ptr()); }
  bool is_count() override { return ::is_count(v_); }
  bool is_real() override { return is_real_number(v_); }
  bool is_finite() override { return is_finite_number(v_); }

 private:
  nb::handle v_;
};

std::optional<trust::OverrideProblem> override_problem(nb::handle key, nb::handle value) {
  HostValueProbe probe(value);
  std::string storage;
  std::optional<std::string_view> name;
  if (PyUnicode_Check(key.ptr())) name = utf8_of(key, storage);
  return trust::override_problem(name, probe, shown(value));
}

// The profile field as a real number (or None where `none_ok`); a caller may have stored
// anything in a profile, and a wrong type is a TypeError naming the field.
nb::object numeric_field(nb::handle profile, const char* name, bool none_ok) {
  nb::object v = profile.attr(name);
  if ((none_ok && v.is_none()) || is_real_number(v)) return v;
  std::string what = std::string("GPUProfile.") + name;
  raise_type(what.c_str(), none_ok ? "a number or None" : "a number", v);
}

// A profile's threshold from its figure: value * multiplier to 2 decimals. A figure every
// profile has must be a number (None raises TypeError).
nb::object threshold(nb::handle value, nb::handle multiplier) {
  return nb::float_(*trust::ratio(as_double(value), as_double(multiplier)));
}

// The same for a figure a profile may lack: None stays None.
nb::object ratio(nb::handle value, nb::handle multiplier) {
  return value.is_none() ? nb::none() : threshold(value, multiplier);
}

// One profile from its figures (kept as given) and the ratios its thresholds derive from.
nb::object make_profile(nb::handle name, nb::handle match_substrings, nb::handle nvlink_bw,
                        nb::handle nvlink_links, nb::handle nccl_bw, nb::handle pcie_gen,
                        nb::handle pcie_width, nb::handle fp16, nb::handle reference,
                        nb::handle memory_bw, nb::handle has_ecc, nb::handle has_nvlink,
                        nb::handle tdp, nb::handle matmul_size, nb::handle vendor,
                        nb::handle nvlink_warn, nb::handle nvlink_fail, nb::handle nccl_warn,
                        nb::handle nccl_fail, nb::handle reference_warn,
                        nb::handle reference_fail) {
  GPUProfile p{{nb::borrow(name),
                nb::borrow(match_substrings),
                nb::borrow(nvlink_bw),
                ratio(nvlink_bw, nvlink_warn),
                ratio(nvlink_bw, nvlink_fail),
                nb::borrow(nvlink_links),
                nb::borrow(nccl_bw),
                threshold(nccl_bw, nccl_warn),
                threshold(nccl_bw, nccl_fail),
                nb::borrow(pcie_gen),
                nb::borrow(pcie_width),
                nb::borrow(fp16),
                nb::borrow(reference),
                threshold(reference, reference_warn),
                threshold(reference, reference_fail),
                nb::borrow(memory_bw),
                nb::borrow(has_ecc),
                nb::borrow(has_nvlink),
                nb::borrow(tdp),
                nb::borrow(matmul_size),
                nb::borrow(vendor)}};
  return new_profile(std::move(p));
}

// -- the module's operations ----------------------------------------------------------------

nb::object find_base_profile(nb::handle gpu_name) {
  check_name(gpu_name, "gpu_name");
  nb::str lowered = folded_name(gpu_name);
  std::string storage;
  std::size_t index = trust::find_base_profile(utf8_of(lowered, storage));
  return nb::borrow(PyTuple_GetItem(g_baselines.ptr(), static_cast<Py_ssize_t>(index)));
}

nb::object normalize_override_map(nb::handle config) {
  check_config(config);
  if (config.is_none() || PyObject_IsTrue(config.ptr()) != 1) return nb::dict();
  nb::object cluster = PySequence_Contains(config.ptr(), nb::str("cluster").ptr()) == 1
                           ? nb::object(config[nb::str("cluster")])
                           : nb::object(nb::dict());
  if (!is_map(cluster)) return nb::dict();
  nb::object overrides = PySequence_Contains(cluster.ptr(), nb::str("baselines").ptr()) == 1
                             ? nb::object(cluster[nb::str("baselines")])
                             : nb::object(nb::dict());
  return is_map(overrides) ? overrides : nb::object(nb::dict());
}

nb::object matching_override(nb::handle raw_gpu_name, nb::handle profile_name, nb::handle config) {
  check_name(raw_gpu_name, "raw_gpu_name");
  nb::object overrides = normalize_override_map(config);
  if (PyObject_IsTrue(overrides.ptr()) != 1) return nb::dict();
  std::string raw_storage, profile_storage, key_storage;
  nb::str raw = folded_name(raw_gpu_name);
  nb::str profile_key = folded(profile_name);
  std::string_view raw_text = utf8_of(raw, raw_storage);
  std::string_view profile_text = utf8_of(profile_key, profile_storage);
  for (nb::handle item : overrides.attr("items")()) {
    nb::object key = nb::borrow(item[0]), value = nb::borrow(item[1]);
    if (!is_map(value)) continue;
    nb::str lowered = folded(nb::str(key));
    if (trust::override_key_matches(utf8_of(lowered, key_storage), profile_text, raw_text)) {
      return value;
    }
  }
  return nb::dict();
}

nb::object apply_profile_overrides(nb::handle profile, nb::handle raw_gpu_name, nb::handle config) {
  if (!nb::isinstance<GPUProfile>(profile)) raise_type("profile", "a GPUProfile", profile);
  check_name(raw_gpu_name, "raw_gpu_name");
  check_config(config);
  const GPUProfile& base = nb::cast<const GPUProfile&>(profile);
  nb::object override = matching_override(raw_gpu_name, field(base, 0), config);
  if (PyObject_IsTrue(override.ptr()) != 1) return nb::borrow(profile);
  GPUProfile patched = base;
  for (nb::handle item : override.attr("items")()) {
    nb::handle key = item[0], value = item[1];
    // Every field read from a profile must hold what the table holds: a stored text or
    // list would only fail later, where the profile is printed or compared.
    if (auto problem = override_problem(key, value)) {
      std::string message = trust::override_error(shown(key), *problem);
      bool type = problem->kind == trust::OverrideProblem::Kind::kType;
      PyErr_SetString(type ? PyExc_TypeError : PyExc_ValueError, message.c_str());
      throw nb::python_error();
    }
    std::string storage;
    auto i = static_cast<std::size_t>(trust::profile_field_index(utf8_of(key, storage)));
    if (kind_of(i) != FieldKind::kIdentity) patched.f[i] = nb::borrow(value);
  }
  return new_profile(std::move(patched));
}

nb::object detect_gpu_profile(nb::handle raw_gpu_name, nb::handle config) {
  check_name(raw_gpu_name, "raw_gpu_name");
  check_config(config);
  return apply_profile_overrides(find_base_profile(raw_gpu_name), raw_gpu_name, config);
}

// format(value, ".0f"), with None written as "None".
std::string format_0f(nb::handle value) {
  if (value.is_none()) return "None";
  if (PyFloat_CheckExact(value.ptr()))
    return corvane::py_format_fixed(PyFloat_AsDouble(value.ptr()), 0);
  nb::object text = nb::steal(PyObject_Format(value.ptr(), nb::str(".0f").ptr()));
  if (!text.is_valid()) throw nb::python_error();
  return nb::cast<std::string>(text);
}

std::string format_plain(nb::handle value) {
  nb::object text = nb::steal(PyObject_Format(value.ptr(), nb::str("").ptr()));
  if (!text.is_valid()) throw nb::python_error();
  return nb::cast<std::string>(text);
}

std::string describe_gpu_profile(nb::handle profile, nb::handle raw_gpu_name) {
  check_name(raw_gpu_name, "raw_gpu_name");
  nb::object name = profile.attr("name");
  bool raw_given = !raw_gpu_name.is_none() && PyUnicode_GetLength(raw_gpu_name.ptr()) > 0;
  nb::object bw = numeric_field(profile, "nvlink_expected_bw_gbps", true);
  nb::object reference = numeric_field(profile, "reference_tflops_expected", true);
  nb::object fp16 = numeric_field(profile, "fp16_tflops_expected", true);
  nb::object memory = numeric_field(profile, "memory_bw_expected_gbps", true);
  trust::ProfileSummary summary{
      format_plain(raw_given ? nb::borrow(raw_gpu_name) : name),
      format_plain(name),
      format_0f(reference),
      format_0f(fp16),
      format_0f(memory),
      PyObject_IsTrue(bw.ptr()) == 1 ? std::optional(format_0f(bw)) : std::nullopt,
      std::nullopt};
  nb::object ecc = profile.attr("has_ecc");
  if (ecc.is(nb::handle(Py_True)) || ecc.is(nb::handle(Py_False)))
    summary.has_ecc = ecc.is(nb::handle(Py_True));
  return trust::describe_profile(summary);
}

nb::object percent_of(nb::handle profile, nb::handle value, const char* divisor_field) {
  if (value.is_none()) return nb::none();
  if (!PyLong_Check(value.ptr()) && !PyFloat_Check(value.ptr())) {
    raise_type("value", "a number or None", value);
  }
  nb::object divisor = numeric_field(profile, divisor_field, false);
  int not_positive = PyObject_RichCompareBool(divisor.ptr(), nb::int_(0).ptr(), Py_LE);
  if (not_positive < 0) throw nb::python_error();
  if (not_positive) return nb::none();
  return optional_float(trust::percent_of(as_double(value), as_double(divisor)));
}

void bind_lookup(nb::module_& m) {
  nb::list rows;
  for (const auto& profile : trust::baselines()) rows.append(profile_from_core(profile));
  nb::tuple baselines(rows);
  m.attr("BASELINES") = baselines;
  g_baselines = baselines;

  m.def("detect_gpu_profile", &detect_gpu_profile, "raw_gpu_name"_a.none(),
        "config"_a.none() = nb::none(),
        "The profile for a reported GPU name, with the configuration's overrides applied.");
  m.def("apply_profile_overrides", &apply_profile_overrides, "profile"_a, "raw_gpu_name"_a.none(),
        "config"_a.none() = nb::none());
  m.def(
      "_override_problem",
      [](nb::handle key, nb::handle value) -> nb::object {
        auto problem = override_problem(key, value);
        return problem ? nb::object(nb::str(problem->message.c_str())) : nb::none();
      },
      "key"_a.none(), "value"_a.none(),
      "Why an override entry cannot go into a profile, or None when it can (or is ignored).");
  nb::list ignored;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (kind_of(i) == FieldKind::kIdentity) ignored.append(kFields[i].name);
  }
  m.attr("_IGNORED_OVERRIDE_FIELDS") = nb::tuple(ignored);
}

void bind_summaries(nb::module_& m) {
  m.def("describe_gpu_profile", &describe_gpu_profile, "profile"_a,
        "raw_gpu_name"_a.none() = nb::none(), "One-line summary of a profile.");
  m.def(
      "profile_percent_of_expected",
      [](nb::handle p, nb::handle v) { return percent_of(p, v, "fp16_tflops_expected"); },
      "profile"_a, "value"_a.none());
  m.def(
      "profile_percent_of_reference",
      [](nb::handle p, nb::handle v) { return percent_of(p, v, "reference_tflops_expected"); },
      "profile"_a, "value"_a.none());
}

void bind_profile_builders(nb::module_& m) {
  m.def("_profile", &make_profile, "name"_a.none(), "match_substrings"_a.none(), nb::kw_only(),
        "nvlink_expected_bw_gbps"_a.none(), "nvlink_link_count"_a.none(),
        "nccl_expected_busbw_gbps"_a.none(), "pcie_expected_gen"_a.none(),
        "pcie_expected_width"_a.none(), "fp16_tflops_expected"_a.none(),
        "reference_tflops_expected"_a.none(), "memory_bw_expected_gbps"_a.none(),
        "has_ecc"_a.none(), "has_nvlink"_a.none(), "tdp_watts"_a.none(), "matmul_size"_a.none(),
        "vendor"_a.none() = "nvidia", "nvlink_warn_ratio"_a.none() = 0.7,
        "nvlink_fail_ratio"_a.none() = 0.5, "nccl_warn_ratio"_a.none() = 0.65,
        "nccl_fail_ratio"_a.none() = 0.4, "reference_warn_ratio"_a.none() = 0.8,
        "reference_fail_ratio"_a.none() = 0.6,
        "A GPU profile from its figures, with its thresholds derived from them.");
  m.def("_ratio", &ratio, "value"_a.none(), "multiplier"_a.none(),
        "value * multiplier rounded to 2 decimals, or None for None.");
  m.def("_find_base_profile", &find_base_profile, "gpu_name"_a.none(),
        "The table's profile for a reported GPU name, without overrides.");
  m.def("_normalize_override_map", &normalize_override_map, "config"_a.none(),
        "The configuration's map of profile overrides, or an empty map.");
  m.def("_matching_override", &matching_override, "raw_gpu_name"_a.none(), "profile_name"_a.none(),
        "config"_a.none(),
        "The first override that applies to a profile and a reported name, or an empty map.");
}

}  // namespace

NB_MODULE(baselines, m) {
  corvane::bindings::configure_leak_checks();
  m.doc() = "Expected performance of known GPU models: lookup, overrides and summaries.";

  auto cls = corvane::bindings::bind_record<GPUProfile>(
      m, "GPUProfile", kFields, true, "Expected performance of one GPU model (a frozen record).");
  cls.def("to_dict", [](const GPUProfile& self) {
    nb::dict d;
    for (std::size_t i = 0; i < kFieldCount; ++i) d[kFields[i].name] = field(self, i);
    return d;
  });

  bind_lookup(m);
  bind_summaries(m);
  bind_profile_builders(m);
}
