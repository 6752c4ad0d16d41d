#include "common/conversions.hpp"

#include "common/python_api.hpp"

namespace zelvora::py {

std::string_view utf8(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  return {data, static_cast<std::size_t>(size)};
}

std::string text_bytes(nb::handle text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
    return {data, static_cast<std::size_t>(size)};
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
  PyErr_Clear();
  nb::object bytes =
      steal_or_throw(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
  return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

nb::str from_text_bytes(std::string_view bytes) {
  return steal_or_throw<nb::str>(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogatepass"));
}

std::u32string code_points(nb::handle text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  std::u32string out(static_cast<std::size_t>(length), U'\0');
  if (length > 0 &&
      !PyUnicode_AsUCS4(text.ptr(), reinterpret_cast<Py_UCS4*>(out.data()), length, 0))
    throw nb::python_error();
  return out;
}

std::optional<std::string_view> ascii_view(nb::handle text) {
  PyObject* t = text.ptr();
  if (!PyUnicode_IS_ASCII(t)) return std::nullopt;
  return std::string_view(static_cast<const char*>(PyUnicode_DATA(t)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(t)));
}

bool is_numpy_value(nb::handle value) {
  nb::object module = steal_or_throw(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), "__module__"));
  return PyUnicode_Check(module.ptr()) &&
         PyUnicode_CompareWithASCIIString(module.ptr(), "numpy") == 0;
}

std::string text_of(nb::handle value) {
  return text_bytes(steal_or_throw<nb::str>(PyObject_Str(value.ptr())));
}

bool is_mapping(nb::handle value) {
  if (PyDict_Check(value.ptr())) return true;
  const int found = PyObject_IsInstance(value.ptr(), api().mapping_abc.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

nb::object rewound_text(nb::handle stream) {
  stream.attr("seek")(0);
  return stream.attr("read")();
}

double to_double(nb::handle number) {
  const double x = PyFloat_AsDouble(number.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return x;
}

}  // namespace zelvora::py
