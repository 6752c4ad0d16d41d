#include "predictive_models/external_model.hpp"

#include <initializer_list>
#include <optional>
#include <string>

#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"

namespace zelvora::models {

namespace {

using namespace zelvora::py;

constexpr std::size_t kMaxExternalModelDepth = 1000;

struct State {
  Held<nb::object> pmml, xgb;  // PredictiveModelType members
  Held<nb::object> string_io, safe_dumps_json;
  Held<nb::str> predictive_model_type{"predictive_model_type"}, external_model{"external_model"},
      feature_names{"feature_names"}, intercept{"intercept"}, intercept_name{"intercept_name"},
      model{"model"}, logreg_model_params{"logreg_model_params"}, coef{"coef_"},
      intercept_list{"intercept_"}, xgb_model{"xgb_model"}, learner{"learner"},
      learner_attributes{"attributes"}, best_iteration{"best_iteration"}, best_score{"best_score"},
      gradient_booster{"gradient_booster"}, gbtree_model_param{"gbtree_model_param"},
      num_trees{"num_trees"}, learner_model_param{"learner_model_param"},
      num_feature{"num_feature"}, pmml_model{"pmml_model"}, tolist{"tolist"};
  Held<nb::int_> first{0};
};

ModuleState<State> state{"_zelvora_external_model_state"};

}  // namespace

bool type_is(nb::handle model, nb::handle member) {
  return model.attr(state->predictive_model_type).equal(member);
}

bool is_none_or_empty(nb::handle value) {
  if (value.is_none()) return true;
  const Py_ssize_t size = PyObject_Length(value.ptr());
  if (size < 0) throw nb::python_error();
  return size == 0;
}

namespace {

// The value at a key path of the external model. A missing key anywhere (KeyError) gives
// nothing; an index error (first element of an empty list) and a type error (a container
// of the wrong kind on the path) leave as they are.
std::optional<nb::object> lookup(nb::handle self, std::initializer_list<nb::handle> path) {
  nb::object value = self.attr(state->external_model);
  for (nb::handle step : path) {
    PyObject* next = PyObject_GetItem(value.ptr(), step.ptr());
    if (!next) {
      if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return std::nullopt;
      }
      throw nb::python_error();
    }
    value = nb::steal(next);
  }
  return value;
}

// The first path that is present, checked for its kind; null when none is.
nb::object read_checked(nb::handle self,
                        std::initializer_list<std::initializer_list<nb::handle>> paths,
                        PyTypeObject* kind, const char* kind_name) {
  for (const auto& path : paths) {
    if (std::optional<nb::object> value = lookup(self, path)) {
      check_kind(*value, kind, kind_name, NoneAllowed::yes);
      return std::move(*value);
    }
  }
  return nb::none();
}

}  // namespace

nb::object get_feature_names(nb::handle self) {
  const State& s = *state;
  return read_checked(self, {{s.feature_names}}, &PyList_Type, "list");
}

nb::object get_intercept(nb::handle self) {
  const State& s = *state;
  return read_checked(self,
                      {{s.intercept},
                       {s.model, s.intercept_list, s.first},
                       {s.logreg_model_params, s.intercept_list, s.first}},
                      &PyFloat_Type, "float");
}

nb::object get_intercept_name(nb::handle self) {
  const State& s = *state;
  return read_checked(self, {{s.intercept_name}}, &PyUnicode_Type, "str");
}

nb::object get_coefficients(nb::handle self) {
  const State& s = *state;
  return read_checked(self, {{s.model, s.coef, s.first}, {s.logreg_model_params, s.coef, s.first}},
                      &PyList_Type, "list");
}

namespace {

// A tree figure of an XGB model: the value at `path` converted with `convert` (int() or
// float() rules: a null value or an unreadable text fails); null for other model types
// and when a key is missing.
template <class Convert>
nb::object tree_figure(nb::handle self, std::initializer_list<nb::handle> path, Convert convert) {
  if (!type_is(self, state->xgb)) return nb::none();
  std::optional<nb::object> value = lookup(self, path);
  if (!value) return nb::none();
  return convert(*value);
}

nb::object to_int(nb::handle value) {
  return steal_or_throw(PyNumber_Long(value.ptr()));
}

nb::object to_float(nb::handle value) {
  return steal_or_throw(PyNumber_Float(value.ptr()));
}

}  // namespace

// Stored from 0; reported as the number of rounds up to and including the best one.
nb::object get_best_iteration(nb::handle self) {
  const State& s = *state;
  return tree_figure(self, {s.xgb_model, s.learner, s.learner_attributes, s.best_iteration},
                     [](nb::handle v) {
                       return steal_or_throw(PyNumber_Add(to_int(v).ptr(), nb::int_(1).ptr()));
                     });
}

nb::object get_number_of_trees(nb::handle self) {
  const State& s = *state;
  return tree_figure(
      self,
      {s.xgb_model, s.learner, s.gradient_booster, s.model, s.gbtree_model_param, s.num_trees},
      to_int);
}

nb::object get_number_of_attributes(nb::handle self) {
  const State& s = *state;
  return tree_figure(self, {s.xgb_model, s.learner, s.learner_model_param, s.num_feature}, to_int);
}

nb::object get_best_eval_metric(nb::handle self) {
  const State& s = *state;
  return tree_figure(self, {s.xgb_model, s.learner, s.learner_attributes, s.best_score}, to_float);
}

nb::object get_stringio(nb::handle self) {
  const State& s = *state;
  nb::object external = self.attr(s.external_model);
  if (type_is(self, s.pmml))
    return s.string_io(steal_or_throw(PyObject_GetItem(external.ptr(), s.pmml_model.ptr())));
  return s.string_io(s.safe_dumps_json(external));
}

namespace {

//
// A fitting library hands over numpy arrays and scalars; the readers expect lists and
// numbers, and JSON output cannot write them. They become plain data on input.

bool is_plain_scalar(PyObject* v) {
  return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyBool_Check(v);
}

std::optional<nb::object> plain_value(nb::handle value, std::size_t depth);

// The items with numpy values replaced, or nothing when none is. `items` is owned.
std::optional<nb::list> plain_items(nb::handle items, std::size_t depth) {
  PyObject* list = items.ptr();
  bool plain = true;
  for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(list); ++i)
    plain = is_plain_scalar(PyList_GET_ITEM(list, i));
  if (plain) return std::nullopt;
  std::optional<nb::list> replaced;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(list, i));
    std::optional<nb::object> converted = plain_value(item, depth);
    if (converted && !replaced)
      replaced = steal_or_throw<nb::list>(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
    if (converted && PyList_SetItem(replaced->ptr(), i, converted->release().ptr()) < 0)
      throw nb::python_error();
  }
  return replaced;
}

// The value with every numpy array and scalar in it made plain data (a new container
// where something changed), or nothing when it holds none. `depth` counts the containers
// around it, itself included; an array counts as one more (its tolist() may be anything).
std::optional<nb::object> plain_value(nb::handle value, std::size_t depth) {
  PyObject* v = value.ptr();
  if (is_plain_scalar(v)) return std::nullopt;
  if (depth > kMaxExternalModelDepth) {
    const std::string message =
        "external_model nests deeper than " + std::to_string(kMaxExternalModelDepth) + " levels";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw nb::python_error();
  }
  if (PyDict_CheckExact(v)) {
    nb::list pairs = steal_or_throw<nb::list>(PyDict_Items(v));
    const Py_ssize_t size = PyList_GET_SIZE(pairs.ptr());
    nb::list values = steal_or_throw<nb::list>(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i)
      PyList_SET_ITEM(
          values.ptr(), i,
          nb::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 1)).release().ptr());
    std::optional<nb::list> converted = plain_items(values, depth + 1);
    if (!converted) return std::nullopt;
    nb::dict result;
    for (Py_ssize_t i = 0; i < size; ++i)
      if (PyDict_SetItem(result.ptr(), PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.ptr(), i), 0),
                         PyList_GET_ITEM(converted->ptr(), i)) < 0)
        throw nb::python_error();
    return result;
  }
  if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
    nb::list items = steal_or_throw<nb::list>(PySequence_List(v));
    std::optional<nb::list> converted = plain_items(items, depth + 1);
    if (!converted || PyList_CheckExact(v)) return converted;
    return steal_or_throw(PyList_AsTuple(converted->ptr()));
  }
  if (!is_numpy_value(value)) return std::nullopt;
  nb::object plain = call_method(value, state->tolist);
  return plain_value(plain, depth + 1).value_or(plain);
}

}  // namespace

// Before validation: numpy values of an input mapping's external model become plain
// data, in a copy of the input; the caller's mapping stays as it was.
nb::object plain_external_model(nb::handle, nb::handle data) {
  if (!PyDict_CheckExact(data.ptr())) return nb::borrow(data);
  PyObject* external = PyDict_GetItemWithError(data.ptr(), state->external_model.ptr());
  if (!external) {
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(data);
  }
  std::optional<nb::object> converted = plain_value(nb::borrow(external), 1);
  if (!converted) return nb::borrow(data);
  nb::dict copy = steal_or_throw<nb::dict>(PyDict_Copy(data.ptr()));
  if (PyDict_SetItem(copy.ptr(), state->external_model.ptr(), converted->ptr()) < 0)
    throw nb::python_error();
  return copy;
}

void load_external_model(nb::module_& m, nb::handle model_type) {
  State& s = state.emplace(m);
  s.pmml = model_type.attr("PMML");
  s.xgb = model_type.attr("XGB");
  s.string_io = nb::module_::import_("io").attr("StringIO");
  s.safe_dumps_json = import_class(module_path::kDump, "safe_dumps_json");
}

}  // namespace zelvora::models
