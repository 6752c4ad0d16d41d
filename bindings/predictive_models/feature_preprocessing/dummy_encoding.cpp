// The dummy encoding part of FeaturePreprocessing: the encoding records and encoding one
// value of an attribute into its indicators.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "common/conversions.hpp"
#include "common/records.hpp"
#include "feature_preprocessing.hpp"
#include "zelvora/preprocessing_messages.hpp"

namespace zelvora::py::preprocessing {

namespace {

// Whether an attribute value selects an indicator: texts by identical text, numbers by
// numeric value across int and float, None never.
bool selects(nb::handle attribute_value, nb::handle entry_value) {
  if (attribute_value.is_none() || entry_value.is_none()) return false;
  nb::object result =
      steal_or_throw(PyObject_RichCompare(attribute_value.ptr(), entry_value.ptr(), Py_EQ));
  const int truth = PyObject_IsTrue(result.ptr());
  if (truth < 0) throw nb::python_error();
  return truth == 1;
}

nb::object apply_dummy_encoding(nb::handle self, nb::handle attribute, nb::handle attribute_value) {
  check_attribute(attribute);
  nb::object encoding = first_where(self.attr(state->dummy_encoding), state->attribute, attribute);
  if (encoding.is_none()) {
    state->logger.warning(zelvora::no_dummy_encoding(text_bytes(attribute)));
    return nb::none();
  }
  nb::dict result;
  bool found = false;
  nb::object default_name = nb::none();
  nb::int_ one(1), zero(0);
  for_each_item(encoding.attr(state->encoding), [&](const nb::object& single) {
    nb::object name = single.attr(state->encoded_feature_name);
    const int marked = PyObject_IsTrue(single.attr(state->use_for_undefined).ptr());
    if (marked < 0) throw nb::python_error();
    if (marked) default_name = name;
    const bool hit = selects(attribute_value, single.attr(state->value));
    result[name] = hit ? one : zero;
    found = found || hit;
    return false;
  });
  if (found) return result;

  const std::string value_text = text_of(attribute_value);
  const int named = default_name.is_none() ? 0 : PyObject_IsTrue(default_name.ptr());
  if (named < 0) throw nb::python_error();
  if (named) {
    result[default_name] = one;
    state->logger.info(
        zelvora::undefined_dummy_value(value_text, text_bytes(attribute), text_of(default_name)));
  } else {
    state->logger.warning(
        zelvora::undefined_dummy_value(value_text, text_bytes(attribute), std::nullopt));
  }
  return result;
}

// --- records -----------------------------------------------------------------------------

nb::object check_created_attribute_naming(nb::handle self) {
  nb::object attribute = self.attr(state->attribute);
  bool broken = false;
  for_each_item(self.attr(state->encoding), [&](const nb::object& single) {
    broken = single.attr(state->encoded_feature_name).equal(attribute);
    return broken;
  });
  if (broken) {
    const std::string message = zelvora::dummy_named_as_attribute(text_of(attribute));
    PyErr_SetObject(PyExc_ValueError, from_text_bytes(message).ptr());
    throw nb::python_error();
  }
  return nb::borrow(self);
}

RecordDecl single_value_record(nb::handle core_model) {
  return {
      .name = "PredictiveModelDummyEncodingSingleValue",
      .doc = "One indicator of a dummy encoding: the attribute value that sets it to 1.",
      .base = core_model,
      .fields =
          {
              {"value", union_of({str_type(), int_type(), float_type()})},
              {"encoded_feature_name", str_type()},
              {"use_for_undefined", bool_type(), default_value(nb::bool_(false))},
          },
  };
}

RecordDecl dummy_encoding_record(nb::handle core_model, nb::handle single_value) {
  return {
      .name = "PredictiveModelDummyEncoding",
      .doc = "The dummy encoding of one categorical attribute: its indicators in order.",
      .base = core_model,
      .fields =
          {
              {"attribute", str_type()},
              {"encoding", list_of(single_value)},
          },
      .after_checks = {{"check_created_attribute_naming", &check_created_attribute_naming}},
  };
}

}  // namespace

void init_dummy_encoding(nb::module_& m, RecordDecl& preprocessing) {
  nb::object core_model = record_base();
  nb::object single_value = declare_record(m, single_value_record(core_model));
  nb::object dummy_encoding = declare_record(m, dummy_encoding_record(core_model, single_value));
  preprocessing.fields.push_back(
      {"dummy_encoding", list_of(dummy_encoding), default_factory(list_type())});
  preprocessing.methods.push_back(
      method("apply_dummy_encoding", &apply_dummy_encoding, nb::arg("attribute").none(),
             nb::arg("attribute_value").none(),
             nb::sig("def apply_dummy_encoding(self, attribute: str, "
                     "attribute_value: Union[str, int, float, None]) -> Optional[dict[str, "
                     "int]]"),
             "The indicator values (name to 0 or 1) of one value of `attribute`; None "
             "without an encoding."));
}

}  // namespace zelvora::py::preprocessing
