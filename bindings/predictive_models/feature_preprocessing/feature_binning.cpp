// zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning:
// bin records, bin names, the binning engine and the binning query views.
#include <nanobind/nanobind.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bin_array.hpp"
#include "common/arguments.hpp"
#include "common/binning_cache.hpp"
#include "common/conversions.hpp"
#include "common/logging.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/record_bins.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "zelvora/bin_lookup.hpp"
#include "zelvora/bin_names.hpp"
#include "zelvora/number_format.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

constexpr const char* kModule = module_path::kBinning;

struct State {
  Held<BinRecordTypes> bins;
  Held<Logger> logger;
  Held<BinningCache> compiled;  // per binning, for single lookups
  Held<nb::dict> kinds;         // bin class -> the value its `type` field takes (None: none)
  Held<nb::str> type{"type"};
};

ModuleState<State> state;

// --- plain-data helpers ------------------------------------------------------------

// --- number formatting -----------------------------------------------------------------

nb::str format_number(nb::handle number) {
  if (PyLong_Check(number.ptr())) return nb::str(nb::int_(number));
  return to_str(zelvora::bound_text(to_double(nb::float_(number))));
}

// --- input completion: name generation and kind fill -----------------------------------

// Runs `form` and reports whether it could: a TypeError or ValueError means the input
// cannot form a name, and validation reports that input instead.
template <class Form>
bool formed(Form form) {
  try {
    form();
    return true;
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) return false;
    throw;
  }
}

nb::object required_id_text(const nb::dict& data) {
  if (!data.contains("id")) throw nb::key_error("id");
  return nb::str(data["id"]);
}

void generate_numerical_name(nb::dict& data) {
  if (data.contains("name")) return;
  nb::object lower = data.contains("lower_bound") ? nb::object(data["lower_bound"]) : nb::none();
  nb::object upper = data.contains("upper_bound") ? nb::object(data["upper_bound"]) : nb::none();
  if (lower.is_none() || upper.is_none()) return;
  const std::string id = text_of(required_id_text(data));
  std::string lower_text, upper_text;
  if (!formed([&] {
        lower_text = text_of(format_number(lower));
        upper_text = text_of(format_number(upper));
      }))
    return;
  data["name"] = from_text_bytes(zelvora::numerical_bin_name(id, lower_text, upper_text));
}

void generate_categorical_name(nb::dict& data) {
  if (data.contains("name") && !nb::object(data["name"]).is_none()) return;
  const std::string id = text_of(required_id_text(data));
  std::string categories = "None";
  nb::object given = data.contains("categories") ? nb::object(data["categories"]) : nb::none();
  if (!given.is_none()) {
    // An iterator is read once, and its values go to the name and the field alike.
    nb::list items;
    if (!formed([&] { items = steal_or_throw<nb::list>(PySequence_List(given.ptr())); })) return;
    if (PyIter_Check(given.ptr())) data["categories"] = items;
    std::vector<std::string> texts;
    if (!formed([&] {
          for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.ptr()); ++k) {
            nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), k));
            texts.push_back(text_of(item));
          }
        }))
      return;
    categories = zelvora::join_categories(texts);
  }
  data["name"] = from_text_bytes(zelvora::categorical_bin_name(id, categories));
}

// The first value of the record kind's restricted `type` field; None when it has none.
// Read once per class: the fields of a record class do not change.
nb::object kind_of(nb::handle cls) {
  State& s = *state;
  if (PyObject* known = PyDict_GetItemWithError(s.kinds.ptr(), cls.ptr())) return nb::borrow(known);
  if (PyErr_Occurred()) throw nb::python_error();
  nb::object kind = nb::none();
  nb::dict fields = nb::borrow<nb::dict>(cls.attr("model_fields"));
  if (fields.contains(s.type)) {
    const PythonApi& a = api();
    nb::object annotation = fields[s.type].attr("annotation");
    if (a.typing_get_origin(annotation).is(a.typing_literal)) {
      nb::tuple values = nb::borrow<nb::tuple>(a.typing_get_args(annotation));
      if (values.size() > 0) kind = values[0];
    }
  }
  s.kinds[cls] = kind;
  return kind;
}

// An item of the input, borrowed; null when absent.
PyObject* input_item(const nb::dict& data, nb::handle key) {
  PyObject* item = PyDict_GetItemWithError(data.ptr(), key.ptr());
  if (!item && PyErr_Occurred()) throw nb::python_error();
  return item;
}

// Sets "type" to the kind value and names an unnamed bin. The caller's dict is copied
// only when that changes something.
template <void (*generate_name)(nb::dict&)>
nb::object complete_bin_input(nb::handle cls, nb::handle data) {
  if (!PyDict_Check(data.ptr())) return nb::borrow(data);
  nb::object kind = kind_of(cls);
  nb::dict given = nb::borrow<nb::dict>(data);
  PyObject* name = input_item(given, state->bins.name);
  if (name && name != Py_None && (kind.is_none() || input_item(given, state->type) == kind.ptr()))
    return given;
  nb::dict completed = steal_or_throw<nb::dict>(PyDict_Copy(data.ptr()));
  generate_name(completed);
  if (!kind.is_none()) completed[state->type] = kind;
  return completed;
}

// --- the binning engine ----------------------------------------------------------------

// The chosen bin's value, after writing the log record a catch-all hit asks for.
// `value_text` is only called when a record is written.
template <class ValueText>
nb::object chosen_value(const BinHit& hit, nb::handle binning, ValueText value_text) {
  const BinRecordTypes& types = state->bins;
  if (hit.log != zelvora::DefaultHitLog::none) {
    const std::string attribute = text_of(record_field(binning, types.attribute));
    const std::string message = zelvora::default_hit_message(attribute, value_text());
    if (hit.log == zelvora::DefaultHitLog::warning) {
      state->logger.warning(message);
    } else {
      state->logger.debug(message);
    }
  }
  if (hit.bin.is_none()) return nb::none();
  return hit.value.is_valid() ? hit.value : record_field(hit.bin, types.value);
}

nb::object bin_numeric_attribute(nb::handle self, nb::handle value) {
  double x = std::numeric_limits<double>::quiet_NaN();
  if (PyFloat_CheckExact(value.ptr())) {
    x = PyFloat_AS_DOUBLE(value.ptr());
  } else if (!value.is_none()) {
    x = to_double(nb::float_(value));
  }
  State& s = *state;
  std::optional<BinHit> found = s.compiled.numeric(s.bins, self, x);
  const BinHit hit = found ? *std::move(found)
                           : find_numerical_bin_record(s.bins, self, x, zelvora::kEnginePolicy);
  return chosen_value(hit, self, [x] { return zelvora::float_repr(x); });
}

nb::object bin_categoric_attribute(nb::handle self, nb::handle value) {
  check_argument_type(value, &PyUnicode_Type, "value", NoneAllowed::yes);
  State& s = *state;
  std::optional<BinHit> found = s.compiled.categoric(s.bins, self, value);
  const BinHit hit = found
                         ? *std::move(found)
                         : find_categorical_bin_record(s.bins, self, value, zelvora::kEnginePolicy);
  return chosen_value(
      hit, self, [value] { return value.is_none() ? std::string("None") : text_bytes(value); });
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
      .methods = {static_method("_get_number_formatting", &format_number, nb::arg("number"),
                                nb::sig("def _get_number_formatting(number: float) -> str"))},
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
              fast_method<&bin_numeric_attribute>(
                  "bin_numeric_attribute", nb::arg("value").none(),
                  nb::sig("def bin_numeric_attribute(self, value: Any) -> Optional[float]"),
                  "The value of the bin of a numeric value (None for missing)."),
              fast_method<&bin_categoric_attribute>(
                  "bin_categoric_attribute", nb::arg("value").none(),
                  nb::sig("def bin_categoric_attribute(self, value: Optional[str]) -> "
                          "Optional[float]"),
                  "The value of the bin of a category text (None for missing)."),
          },
  };
}

Records declare_records(nb::module_& m) {
  nb::object core_model = record_base();
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

// GraphQL's Float holds neither infinity nor NaN: such a bound shows as null (and the
// formatted bound keeps its text) rather than failing the field.
nb::object finite_or_none(nb::object bound) {
  if (PyFloat_Check(bound.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(bound.ptr())))
    return nb::none();
  return bound;
}

nb::object resolve_lower_bound(nb::handle record) {
  return finite_or_none(record.attr("lower_bound"));
}

nb::object resolve_upper_bound(nb::handle record) {
  return finite_or_none(record.attr("upper_bound"));
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

void declare_views(nb::module_& m) {
  Records r;
  r.attribute_data_type = m.attr("AttributeDataType");
  r.abstract_bin = m.attr("AbstractAttributeBin");
  r.numerical_bin = m.attr("AttributeBinNumerical");
  r.categorical_bin = m.attr("AttributeBinCategorical");
  r.feature_binning = m.attr("FeatureBinning");
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
      .computed =
          {
              computed("lower_bound", optional(float_type()), &resolve_lower_bound,
                       "The lower bound (excluded); null when infinite or NaN, which "
                       "formattedLowerBound shows as text."),
              computed("upper_bound", optional(float_type()), &resolve_upper_bound,
                       "The upper bound (included); null when infinite or NaN, which "
                       "formattedUpperBound shows as text."),
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
  describe_module(m, "The binning of attributes: numerical and categorical bins, lookups.");
  load_api(m);
  Records records = declare_records(m);
  declare_views_lazily(m,
                       {"AbstractAttributeBinType", "AttributeBinNumericalType",
                        "AttributeBinCategoricalType", "FeatureBinningType"},
                       &declare_views);
  State& s = state.emplace(m);
  s.bins.numerical_bin = records.numerical_bin;
  s.bins.categorical_bin = records.categorical_bin;
  s.logger = Logger(kModule);
  m.attr("logger") = s.logger.proxy();
  add_bin_array(m, records.feature_binning, s.bins, records.attribute_data_type, kModule);
}
