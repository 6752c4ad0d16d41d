// zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning:
// bin records, bin names, the binning engine and the binning query views.
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/logging.hpp"
#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "zelvora/bin_lookup.hpp"
#include "zelvora/bin_names.hpp"
#include "zelvora/number_format.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

constexpr const char* kModule =
    "zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning";

struct State {
  nb::object numerical_bin, categorical_bin;
  Logger logger;
  // Field names, interned once for the lookups.
  nb::str name{"name"}, value{"value"}, id{"id"}, type{"type"}, lower_bound{"lower_bound"},
      upper_bound{"upper_bound"}, categories{"categories"}, feature_binning{"feature_binning"},
      attribute{"attribute"};

  static constexpr auto references = std::make_tuple(
      &State::numerical_bin, &State::categorical_bin, &State::logger, &State::name, &State::value,
      &State::id, &State::type, &State::lower_bound, &State::upper_bound, &State::categories,
      &State::feature_binning, &State::attribute);
};

ModuleState<State> state;

// --- plain-data helpers ------------------------------------------------------------

std::string text_of(nb::handle value) {
  return std::string(utf8(nb::str(value)));
}

// A field of a record, read from the instance dict (falling back to attribute access).
nb::object field_of(nb::handle record, nb::handle key) {
  PyObject* dict = PyObject_GenericGetDict(record.ptr(), nullptr);
  if (dict) {
    PyObject* item = PyDict_GetItemWithError(dict, key.ptr());
    Py_DECREF(dict);
    if (item) return nb::borrow(item);
    if (PyErr_Occurred()) throw nb::python_error();
  } else {
    PyErr_Clear();
  }
  return nb::getattr(record, key);
}

// --- number formatting -----------------------------------------------------------------

nb::str format_number(nb::handle number) {
  if (PyLong_Check(number.ptr())) return nb::str(nb::int_(number));
  return to_str(zelvora::bound_text(to_double(nb::float_(number))));
}

// --- input completion: name generation and kind fill -----------------------------------

nb::object required_id_text(const nb::dict& data) {
  if (!data.contains("id")) throw nb::key_error("id");
  return nb::str(data["id"]);
}

void generate_numerical_name(nb::dict& data) {
  if (data.contains("name")) return;
  nb::object lower = data.contains("lower_bound") ? nb::object(data["lower_bound"]) : nb::none();
  nb::object upper = data.contains("upper_bound") ? nb::object(data["upper_bound"]) : nb::none();
  if (lower.is_none() || upper.is_none()) return;
  const std::string name =
      zelvora::numerical_bin_name(text_of(required_id_text(data)), text_of(format_number(lower)),
                                  text_of(format_number(upper)));
  data["name"] = to_str(name);
}

void generate_categorical_name(nb::dict& data) {
  if (data.contains("name") && !nb::object(data["name"]).is_none()) return;
  std::string categories = "None";
  nb::object given = data.contains("categories") ? nb::object(data["categories"]) : nb::none();
  if (!given.is_none()) {
    std::vector<std::string> texts;
    for (nb::handle category : given) texts.push_back(text_of(category));
    categories = zelvora::join_categories(texts);
  }
  const std::string name =
      zelvora::categorical_bin_name(text_of(required_id_text(data)), categories);
  data["name"] = to_str(name);
}

// Sets "type" to the first value of the record kind's restricted `type` field.
void fill_kind(nb::handle cls, nb::dict& data) {
  nb::dict fields = nb::borrow<nb::dict>(cls.attr("model_fields"));
  if (!fields.contains("type")) return;
  const PythonApi& a = api();
  nb::object annotation = fields["type"].attr("annotation");
  if (!a.typing_get_origin(annotation).is(a.typing_literal)) return;
  nb::tuple values = nb::borrow<nb::tuple>(a.typing_get_args(annotation));
  data["type"] = values.size() > 0 ? nb::object(values[0]) : nb::none();
}

template <void (*generate_name)(nb::dict&)>
nb::object complete_bin_input(nb::handle cls, nb::handle data) {
  if (!PyDict_Check(data.ptr())) return nb::borrow(data);
  nb::dict completed = steal_or_throw<nb::dict>(PyDict_Copy(data.ptr()));
  generate_name(completed);
  fill_kind(cls, completed);
  return completed;
}

// --- the binning engine ----------------------------------------------------------------

// The bins of a binning, read lazily from the records for the core's lookup. Fields are
// read from each bin's instance dict, fetched once per bin.
class RecordBins {
 public:
  RecordBins(nb::handle binning, nb::handle kind)
      : kind_(reinterpret_cast<PyTypeObject*>(kind.ptr())) {
    bins_ = steal_or_throw(PySequence_Fast(field_of(binning, state->feature_binning).ptr(),
                                           "feature_binning must be a list"));
  }
  std::size_t size() const {
    return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(bins_.ptr()));
  }
  zelvora::BinRole role(std::size_t i) const {
    nb::object name = field(i, state->name);
    if (!PyUnicode_Check(name.ptr())) return zelvora::BinRole::ordinary;
    return zelvora::bin_role(utf8(name));
  }
  bool is_of_kind(std::size_t i) const { return PyObject_TypeCheck(bin(i).ptr(), kind_); }
  std::optional<double> lower_bound(std::size_t i) const {
    return bound(field(i, state->lower_bound));
  }
  std::optional<double> upper_bound(std::size_t i) const {
    return bound(field(i, state->upper_bound));
  }
  nb::object value(std::size_t i) const { return field(i, state->value); }

 protected:
  nb::handle bin(std::size_t i) const {
    return PySequence_Fast_GET_ITEM(bins_.ptr(), static_cast<Py_ssize_t>(i));
  }

  nb::object field(std::size_t i, nb::handle key) const {
    if (i != cached_index_) {
      cached_dict_ = nb::steal(PyObject_GenericGetDict(bin(i).ptr(), nullptr));
      if (!cached_dict_.is_valid()) PyErr_Clear();
      cached_index_ = i;
    }
    if (cached_dict_.is_valid()) {
      if (PyObject* item = PyDict_GetItemWithError(cached_dict_.ptr(), key.ptr()))
        return nb::borrow(item);
      if (PyErr_Occurred()) throw nb::python_error();
    }
    return nb::getattr(bin(i), key);
  }

 private:
  static std::optional<double> bound(nb::handle b) {
    if (b.is_none()) return std::nullopt;
    if (PyFloat_CheckExact(b.ptr())) return PyFloat_AS_DOUBLE(b.ptr());
    return to_double(b);
  }

  PyTypeObject* kind_;
  nb::object bins_;
  mutable std::size_t cached_index_ = static_cast<std::size_t>(-1);
  mutable nb::object cached_dict_;
};

// Categorical bins, answering whether a bin's categories hold one value.
class CategoricalRecordBins : public RecordBins {
 public:
  CategoricalRecordBins(nb::handle binning, nb::handle value)
      : RecordBins(binning, state->categorical_bin), value_(value) {}
  bool contains_value(std::size_t i) const {
    nb::object categories = field(i, state->categories);
    if (PyList_CheckExact(categories.ptr()) && PyUnicode_CheckExact(value_.ptr()))
      return list_holds_text(categories);
    const int found = PySequence_Contains(categories.ptr(), value_.ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
  }

 private:
  // `value_ in categories` for a list and an exact str, comparing exact str items
  // directly (equal texts share one representation) and others through ==.
  bool list_holds_text(nb::handle categories) const {
    PyObject* value = value_.ptr();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(categories.ptr()); ++k) {
      nb::object item = nb::borrow(PyList_GET_ITEM(categories.ptr(), k));
      if (PyUnicode_CheckExact(item.ptr())) {
        if (same_text(item.ptr(), value)) return true;
        continue;
      }
      const int equal = PyObject_RichCompareBool(item.ptr(), value, Py_EQ);
      if (equal < 0) throw nb::python_error();
      if (equal == 1) return true;
    }
    return false;
  }

  static bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
  }

  nb::handle value_;
};

// The chosen bin's value, after writing the log record a catch-all hit asks for.
// `value_text` is only called when a record is written.
template <class ValueText>
nb::object chosen_value(const RecordBins& bins, const zelvora::BinChoice& choice,
                        nb::handle binning, ValueText value_text) {
  if (choice.log != zelvora::DefaultHitLog::none) {
    const std::string attribute = text_of(field_of(binning, state->attribute));
    const std::string message = zelvora::default_hit_message(attribute, value_text());
    if (choice.log == zelvora::DefaultHitLog::warning) {
      state->logger.warning(message);
    } else {
      state->logger.debug(message);
    }
  }
  if (!choice.bin) return nb::none();
  return bins.value(*choice.bin);
}

nb::object bin_numeric_attribute(nb::handle self, nb::handle value) {
  const double x =
      value.is_none() ? std::numeric_limits<double>::quiet_NaN() : to_double(nb::float_(value));
  RecordBins bins(self, state->numerical_bin);
  try {
    const zelvora::BinChoice choice = zelvora::find_numeric_bin(bins, x);
    return chosen_value(bins, choice, self, [x] { return zelvora::float_repr(x); });
  } catch (const zelvora::UnorderableBound& e) {
    throw nb::type_error(e.what());
  }
}

nb::object bin_categoric_attribute(nb::handle self, nb::handle value) {
  check_argument_type(value, &PyUnicode_Type, "value", NoneAllowed::yes);
  const bool missing = value.is_none() || zelvora::is_missing_category(utf8(value));
  CategoricalRecordBins bins(self, value);
  const zelvora::BinChoice choice = zelvora::find_categoric_bin(bins, missing);
  return chosen_value(bins, choice, self, [value] {
    return value.is_none() ? std::string("None") : std::string(utf8(value));
  });
}

// --- records ---------------------------------------------------------------------------

struct Records {
  nb::object attribute_data_type, abstract_bin, numerical_bin, categorical_bin, bin_union,
      feature_binning;
};

RecordDecl abstract_bin_record(nb::handle core_model) {
  return {
      .name = "AbstractAttributeBin",
      .doc = "The common part of every bin.",
      .base = core_model,
      .fields =
          {
              {"name", str_type()},
              {"value", optional(float_type()), default_none()},
              {"frequency", optional(float_type()), default_none()},
              {"target_rate", optional(float_type()), default_none()},
              {"id", int_type()},
          },
  };
}

RecordDecl numerical_bin_record(const Records& r) {
  return {
      .name = "AttributeBinNumerical",
      .doc = "A bin of a numerical attribute: the interval (lower_bound, upper_bound].",
      .base = r.abstract_bin,
      .fields =
          {
              {"type", literal({r.attribute_data_type.attr("NUMERICAL")})},
              {"lower_bound", optional(float_type()), default_none()},
              {"upper_bound", optional(float_type()), default_none()},
          },
      .before_checks = {{"_complete_input", &complete_bin_input<generate_numerical_name>}},
      .methods = {static_method("_get_number_formatting", &format_number, nb::arg("number"))},
  };
}

RecordDecl categorical_bin_record(const Records& r) {
  return {
      .name = "AttributeBinCategorical",
      .doc = "A bin of a categorical attribute: a set of category texts.",
      .base = r.abstract_bin,
      .fields =
          {
              {"type", literal({r.attribute_data_type.attr("CATEGORICAL")})},
              {"categories", optional(list_of(str_type())), default_none()},
          },
      .before_checks = {{"_complete_input", &complete_bin_input<generate_categorical_name>}},
  };
}

RecordDecl feature_binning_record(const Records& r, nb::handle core_model) {
  return {
      .name = "FeatureBinning",
      .doc = "The binning of one attribute: its bins in lookup order.",
      .base = core_model,
      .fields =
          {
              {"attribute", str_type()},
              {"attribute_data_type", r.attribute_data_type},
              {"feature_binning", list_of(r.bin_union), default_factory(list_type())},
              {"binned_attribute_name", optional(str_type()), default_none()},
          },
      .methods =
          {
              method("bin_numeric_attribute", &bin_numeric_attribute, nb::arg("value").none(),
                     "The value of the bin of a numeric value (None for missing)."),
              method("bin_categoric_attribute", &bin_categoric_attribute, nb::arg("value").none(),
                     "The value of the bin of a category text (None for missing)."),
          },
  };
}

Records declare_records(nb::module_& m) {
  nb::object core_model =
      nb::module_::import_("zelvora_analytics_utils.utils.core_model").attr("CoreModel");
  Records r;
  r.attribute_data_type = declare_text_enum(
      m, "AttributeDataType", {{"CATEGORICAL", "CATEGORICAL"}, {"NUMERICAL", "NUMERICAL"}},
      "Kind of an attribute's values.");
  declare_text_enum(m, "PredictiveModelBinName",
                    {{"DEFAULT", "0_default"},
                     {"DEFINED_DEFAULT", "0_defined_default"},
                     {"SYSTEM_DEFAULT", "0_system_default"},
                     {"NULL", "1_null"}},
                    "Reserved names of the null bin and the catch-all bins.");
  r.abstract_bin = declare_record(m, abstract_bin_record(core_model));
  r.numerical_bin = declare_record(m, numerical_bin_record(r));
  r.categorical_bin = declare_record(m, categorical_bin_record(r));
  r.bin_union = tagged_union({r.numerical_bin, r.categorical_bin}, "type");
  publish(m, "AttributeBin", r.bin_union);
  r.feature_binning = declare_record(m, feature_binning_record(r, core_model));
  return r;
}

// --- query views -----------------------------------------------------------------------

nb::object resolve_type(nb::handle record) {
  return record.attr("type");
}

nb::object format_optional_bound(nb::handle bound) {
  return bound.is_none() ? nb::none() : nb::object(format_number(bound));
}

nb::object resolve_formatted_lower_bound(nb::handle record) {
  return format_optional_bound(record.attr("lower_bound"));
}

nb::object resolve_formatted_upper_bound(nb::handle record) {
  return format_optional_bound(record.attr("upper_bound"));
}

nb::object resolve_feature_binning(nb::handle record) {
  return record.attr("feature_binning");
}

void declare_views(nb::module_& m, const Records& r) {
  nb::object data_type = schema_enum(r.attribute_data_type);
  nb::object optional_text = optional(str_type());
  const ViewDecl abstract_bin{
      .name = "AbstractAttributeBinType",
      .record = r.abstract_bin,
      .mirrored = {"name", "value", "frequency", "target_rate", "id"},
      .computed = {{"type", data_type, &resolve_type}},
  };
  nb::object abstract_view = declare_view(m, abstract_bin);
  const ViewDecl categorical_bin{
      .name = "AttributeBinCategoricalType",
      .record = r.categorical_bin,
      .base = abstract_view,
      .mirrored = {"categories"},
  };
  const ViewDecl numerical_bin{
      .name = "AttributeBinNumericalType",
      .record = r.numerical_bin,
      .base = abstract_view,
      .mirrored = {"lower_bound", "upper_bound"},
      .computed =
          {
              {"formatted_lower_bound", optional_text, &resolve_formatted_lower_bound},
              {"formatted_upper_bound", optional_text, &resolve_formatted_upper_bound},
          },
  };
  nb::object numerical_view = declare_view(m, numerical_bin);
  nb::object categorical_view = declare_view(m, categorical_bin);
  nb::object bin_view = schema_union("AttributeBinType", {numerical_view, categorical_view});
  const ViewDecl feature_binning{
      .name = "FeatureBinningType",
      .record = r.feature_binning,
      .mirrored = {"attribute"},
      .computed = {{"feature_binning", list_of(bin_view), &resolve_feature_binning}},
  };
  declare_view(m, feature_binning);
}

}  // namespace

NB_MODULE(feature_binning, m) {
  load_api(m);
  Records records = declare_records(m);
  declare_views(m, records);
  State& s = state.emplace(m);
  s.numerical_bin = records.numerical_bin;
  s.categorical_bin = records.categorical_bin;
  s.logger = Logger(kModule);
  m.attr("logger") = s.logger.proxy();
}
