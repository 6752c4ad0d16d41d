#include "common/arguments.hpp"

namespace zelvora::py {

void raise_argument_type_error(nb::handle value, const char* name, const char* expected) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               Py_TYPE(value.ptr())->tp_name);
  throw nb::python_error();
}

void check_argument_type(nb::handle value, PyTypeObject* expected, const char* name,
                         NoneAllowed none_allowed) {
  if (PyObject_TypeCheck(value.ptr(), expected)) return;
  if (none_allowed == NoneAllowed::yes && value.is_none()) return;
  raise_argument_type_error(value, name, expected->tp_name);
}

void check_attribute(nb::handle attribute) {
  check_argument_type(attribute, &PyUnicode_Type, "attribute", NoneAllowed::no);
}

}  // namespace zelvora::py
