#include "common/conversions.hpp"

namespace zelvora::py {

std::string_view utf8(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  return {data, static_cast<std::size_t>(size)};
}

double to_double(nb::handle number) {
  const double x = PyFloat_AsDouble(number.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return x;
}

}  // namespace zelvora::py
