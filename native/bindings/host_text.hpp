// Reading host strings as UTF-8 without failing on what the host allows in a str.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace corvane::bindings {

namespace nb = nanobind;

// UTF-8 view of a host str. Lone surrogates, which have no UTF-8 form, are read as
// U+FFFD (same byte length): like a surrogate, it is neither a word character, white
// space, a digit nor a letter, so every search answers as it would on the original.
// `storage` holds the bytes when a copy was needed.
inline std::string_view utf8_of(nb::handle str, std::string& storage) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data != nullptr) return {data, static_cast<std::size_t>(size)};
  PyErr_Clear();
  nb::object raw = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  if (!raw.is_valid()) throw nb::python_error();
  char* bytes = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(raw.ptr(), &bytes, &n) != 0) throw nb::python_error();
  storage.assign(bytes, static_cast<std::size_t>(n));
  for (std::size_t i = 0; i + 2 < storage.size(); ++i) {
    auto b0 = static_cast<unsigned char>(storage[i]);
    auto b1 = static_cast<unsigned char>(storage[i + 1]);
    if (b0 == 0xED && b1 >= 0xA0 && b1 <= 0xBF) {  // encoded U+D800..U+DFFF
      storage[i] = static_cast<char>(0xEF);
      storage[i + 1] = static_cast<char>(0xBF);
      storage[i + 2] = static_cast<char>(0xBD);
      i += 2;
    }
  }
  return storage;
}

inline std::string host_type_name(nb::handle obj) {
  return nb::borrow<nb::str>(
             nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"))
      .c_str();
}

// TypeError "<what> must be <expected>, not <type>".
[[noreturn]] inline void raise_type(const char* what, const char* expected, nb::handle got) {
  std::string msg = std::string(what) + " must be " + expected + ", not " + host_type_name(got);
  throw nb::type_error(msg.c_str());
}

}  // namespace corvane::bindings
