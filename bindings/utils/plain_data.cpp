#include "utils/plain_data.hpp"

#include <cmath>

#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "common/python_api.hpp"
#include "zelvora/number_format.hpp"

namespace zelvora::dump {

namespace {

using namespace zelvora::py;

constexpr int kRoundingDecimals = 12;

struct State {
  // standard library types
  Held<nb::object> dataclass_asdict, decimal_type, date_type, time_type, uuid_type;
  Held<nb::str> value{"value"}, isoformat{"isoformat"}, model_dump{"model_dump"}, asdict{"asdict"},
      dataclass_fields{"__dataclass_fields__"}, items{"items"}, tolist{"tolist"};
};

ModuleState<State> state{"_zelvora_plain_data_state"};

// A subclass test without __instancecheck__ hooks: cheap on the per-node path.
bool is_instance_of(PyObject* v, const nb::object& cls) {
  return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(cls.ptr()));
}

// --- invalid values and filtering ------------------------------------------------------

// Plain values that no conversion rule touches and that are never a mapping.
bool is_plain_leaf(PyObject* v) {
  return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
         PyList_CheckExact(v) || PyTuple_CheckExact(v);
}

bool invalid(nb::handle value) {
  PyObject* v = value.ptr();
  if (v == Py_None) return true;
  if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) == 0;
  if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) == 0;
  if (is_plain_leaf(v) || PyFloat_CheckExact(v)) return false;
  // numpy compares element-wise: an array is judged by its plain form.
  if (is_numpy_value(value)) return invalid(call_method(value, state->tolist));
  // Other types decide for themselves whether they equal an empty list or mapping.
  return value.equal(nb::list()) || value.equal(nb::dict());
}

void keep_if_valid(nb::dict& kept, nb::handle key, nb::handle value) {
  if (invalid(value)) return;
  if (PyDict_SetItem(kept.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

// A built-in dict is walked directly. invalid() may run code of the values' own types,
// so key and value are held while it runs and a change of size stops the walk, as a
// Python loop over the dict would.
nb::dict filtered_dict(nb::handle data) {
  nb::dict kept;
  PyObject* d = data.ptr();
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  Py_ssize_t pos = 0;
  PyObject *k = nullptr, *v = nullptr;
  while (PyDict_Next(d, &pos, &k, &v)) {
    nb::object key = nb::borrow(k), value = nb::borrow(v);
    keep_if_valid(kept, key, value);
    if (PyDict_GET_SIZE(d) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      throw nb::python_error();
    }
  }
  return kept;
}

nb::dict filtered_mapping(nb::handle data) {
  nb::dict kept;
  for (nb::handle item : data.attr(state->items)()) {
    nb::object key = item[0], value = item[1];
    keep_if_valid(kept, key, value);
  }
  return kept;
}

nb::object filtered(nb::handle data) {
  PyObject* d = data.ptr();
  if (PyDict_CheckExact(d)) return filtered_dict(data);
  if (is_plain_leaf(d) || PyFloat_CheckExact(d) || !is_mapping(data)) return nb::borrow(data);
  return filtered_mapping(data);
}

// --- value conversion --------------------------------------------------------------------

nb::object rounded_float(nb::handle number) {
  const double x = to_double(number);
  const double r = zelvora::round_to_decimals(x, kRoundingDecimals);
  // An exact float that rounding leaves unchanged (sign of zero included) is reused.
  if (PyFloat_CheckExact(number.ptr()) && (r == x || std::isnan(x)) &&
      std::signbit(r) == std::signbit(x))
    return nb::borrow(number);
  return steal_or_throw(PyFloat_FromDouble(r));
}

nb::object record_dict(nb::handle record) {
  return record.attr(state->model_dump)(nb::arg("exclude_defaults") = true,
                                        nb::arg("by_alias") = false);
}

// An instance (not the class) of a class made by the dataclass decorator.
bool is_dataclass_object(PyObject* v) {
  return !PyType_Check(v) &&
         nb::hasattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(v))), state->dataclass_fields);
}

nb::object dataclass_dict(nb::handle obj) {
  nb::object own = nb::getattr(obj, state->asdict, nb::none());
  if (PyCallable_Check(own.ptr())) return own();
  return state->dataclass_asdict(obj);
}

// The conversion rules past the plain types, in order. A date-and-time is also a date;
// isoformat gives each its own full form.
nb::object convert_value(nb::handle obj) {
  PyObject* v = obj.ptr();
  const State& s = *state;
  if (is_plain_leaf(v) || PyDict_CheckExact(v)) return nb::borrow(obj);
  if (PyFloat_CheckExact(v)) return rounded_float(obj);
  const PythonApi& a = api();
  if (is_instance_of(v, a.enum_type)) return obj.attr(s.value);
  if (is_instance_of(v, s.decimal_type)) return rounded_float(steal_or_throw(PyNumber_Float(v)));
  if (PyFloat_Check(v)) return rounded_float(obj);
  if (is_instance_of(v, s.date_type) || is_instance_of(v, s.time_type))
    return call_method(obj, s.isoformat);
  if (is_instance_of(v, s.uuid_type)) return steal_or_throw(PyObject_Str(v));
  if (is_instance_of(v, a.base_model)) return record_dict(obj);
  if (PySet_Check(v)) return steal_or_throw(PySequence_List(v));
  if (is_dataclass_object(v)) return dataclass_dict(obj);
  if (is_numpy_value(obj)) {
    // An array becomes nested lists, whose items come back here; a scalar a number.
    nb::object plain = call_method(obj, s.tolist);
    return PyFloat_CheckExact(plain.ptr()) ? rounded_float(plain) : plain;
  }
  return nb::borrow(obj);
}

nb::object formatted(nb::handle obj) {
  PyObject* v = obj.ptr();
  if (is_plain_leaf(v) || PyDict_CheckExact(v)) return nb::borrow(obj);
  if (PyFloat_CheckExact(v)) return rounded_float(obj);
  // A weak reference stands for its referent (None once that is gone).
  if (PyWeakref_CheckRef(v)) return convert_value(steal_or_throw(PyObject_CallNoArgs(v)));
  return convert_value(obj);
}

}  // namespace

void load_plain_data(nb::module_& m) {
  State& s = state.emplace(m);
  s.dataclass_asdict = nb::module_::import_("dataclasses").attr("asdict");
  nb::module_ datetime = nb::module_::import_("datetime");
  s.decimal_type = nb::module_::import_("decimal").attr("Decimal");
  s.date_type = datetime.attr("date");
  s.time_type = datetime.attr("time");
  s.uuid_type = nb::module_::import_("uuid").attr("UUID");
}

bool is_invalid(nb::handle value) {
  return invalid(value);
}

nb::object filter_data(nb::handle data) {
  return filtered(data);
}

nb::object format_output_data(nb::handle obj) {
  return formatted(obj);
}

}  // namespace zelvora::dump
