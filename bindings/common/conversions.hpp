// Small conversions between Python objects and C++ values, shared by every module.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace zelvora::py {

namespace nb = nanobind;

/// Owns a new reference returned by the C API; a null result raises the pending error.
template <class T = nb::object>
T steal_or_throw(PyObject* result) {
  if (!result) throw nb::python_error();
  return nb::steal<T>(result);
}

/// The UTF-8 text of a str, valid while the str lives.
std::string_view utf8(nb::handle text);

/// A new str of UTF-8 text.
inline nb::str to_str(std::string_view text) {
  return nb::str(text.data(), text.size());
}

/// The value of a number as a double (float() rules for float subclasses and __float__).
double to_double(nb::handle number);

}  // namespace zelvora::py
