#include "common/errors.hpp"

#include "common/conversions.hpp"

namespace zelvora::py {
namespace {

// The text of an error's only argument, or str() of the error.
nb::str message_of(nb::handle error) {
  nb::tuple args = nb::borrow<nb::tuple>(error.attr("args"));
  nb::object text = args.size() == 1 ? nb::object(args[0]) : nb::borrow(error);
  return steal_or_throw<nb::str>(PyObject_Str(text.ptr()));
}

// An error of the first kind in the MRO of `kind` that can be built from one message.
nb::object rebuilt(nb::handle kind, nb::handle message) {
  nb::tuple mro = nb::borrow<nb::tuple>(kind.attr("__mro__"));
  for (nb::handle candidate : mro) {
    if (!PyExceptionClass_Check(candidate.ptr())) break;
    PyObject* error = PyObject_CallOneArg(candidate.ptr(), message.ptr());
    if (error && PyExceptionInstance_Check(error)) return nb::steal(error);
    Py_XDECREF(error);
    PyErr_Clear();
  }
  return steal_or_throw(PyObject_CallOneArg(PyExc_Exception, message.ptr()));
}

}  // namespace

void raise_with_prefix(const nb::python_error& error, std::string_view prefix) {
  nb::object original = nb::borrow(error.value());
  // Interruptions and exits (KeyboardInterrupt, SystemExit) are no errors of the operation:
  // they pass unchanged, SystemExit's code included.
  if (!PyObject_TypeCheck(original.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(original.ptr())), original.ptr());
    throw nb::python_error();
  }
  nb::object text =
      steal_or_throw(PyUnicode_Concat(from_text_bytes(prefix).ptr(), message_of(original).ptr()));
  nb::object reshaped = rebuilt(original.type(), text);
  PyException_SetCause(reshaped.ptr(), original.release().ptr());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(reshaped.ptr())), reshaped.ptr());
  throw nb::python_error();
}

nb::python_error as_python_error(const nb::builtin_exception& e) {
  PyObject* kind = PyExc_RuntimeError;
  switch (e.type()) {
    case nb::exception_type::stop_iteration:
      kind = PyExc_StopIteration;
      break;
    case nb::exception_type::index_error:
      kind = PyExc_IndexError;
      break;
    case nb::exception_type::key_error:
      kind = PyExc_KeyError;
      break;
    case nb::exception_type::value_error:
      kind = PyExc_ValueError;
      break;
    case nb::exception_type::type_error:
      kind = PyExc_TypeError;
      break;
    case nb::exception_type::buffer_error:
      kind = PyExc_BufferError;
      break;
    case nb::exception_type::import_error:
      kind = PyExc_ImportError;
      break;
    case nb::exception_type::attribute_error:
      kind = PyExc_AttributeError;
      break;
    default:
      break;
  }
  PyErr_SetString(kind, e.what());
  return nb::python_error();
}

void raise_kind_error(nb::handle value, const char* expected) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value.ptr())->tp_name);
  throw nb::python_error();
}

void check_kind(nb::handle value, PyTypeObject* kind, const char* expected,
                NoneAllowed none_allowed) {
  if (PyObject_TypeCheck(value.ptr(), kind)) return;
  if (none_allowed == NoneAllowed::yes && value.is_none()) return;
  raise_kind_error(value, expected);
}

}  // namespace zelvora::py
