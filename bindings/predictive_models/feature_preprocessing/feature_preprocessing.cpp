// zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing:
// the preprocessing registry of a model (transformations, binnings, dummy encodings), the
// builder of binnings from a compact specification, binning and dummy encoding by
// attribute name.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/arguments.hpp"
#include "common/compiled_bins.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/logging.hpp"
#include "common/module_state.hpp"
#include "common/record_bins.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "zelvora/bin_lookup.hpp"
#include "zelvora/bin_names.hpp"
#include "zelvora/compiled_binning.hpp"
#include "zelvora/number_format.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

constexpr const char* kModule =
    "zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing";
constexpr const char* kBinningModule =
    "zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning";
constexpr const char* kTransformationModule =
    "zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_transformation";

struct State {
  nb::object feature_binning, feature_transformation;
  BinRecordTypes bins;                // the bin classes and field names, for batches
  nb::object numerical, categorical;  // AttributeDataType members
  Logger logger;                      // this module's
  Logger binning_logger;              // the binning engine's, for batch catch-all hits
  nb::str attribute{"attribute"}, attribute_data_type{"attribute_data_type"}, binning{"binning"},
      transformations{"transformations"}, transformed_attribute_name{"transformed_attribute_name"},
      transformation{"transformation"}, binned_attribute_name{"binned_attribute_name"},
      dummy_encoding{"dummy_encoding"}, encoding{"encoding"},
      encoded_feature_name{"encoded_feature_name"}, use_for_undefined{"use_for_undefined"},
      value{"value"}, bin_numeric_attribute{"bin_numeric_attribute"},
      bin_categoric_attribute{"bin_categoric_attribute"};
  static constexpr auto references = std::make_tuple(
      &State::feature_binning, &State::feature_transformation, &State::bins, &State::numerical,
      &State::categorical, &State::logger, &State::binning_logger, &State::attribute,
      &State::attribute_data_type, &State::binning, &State::transformations,
      &State::transformed_attribute_name, &State::transformation, &State::binned_attribute_name,
      &State::dummy_encoding, &State::encoding, &State::encoded_feature_name,
      &State::use_for_undefined, &State::value, &State::bin_numeric_attribute,
      &State::bin_categoric_attribute);
};

ModuleState<State> state;

// --- small helpers ---------------------------------------------------------------------

// str(value) as text bytes (common/conversions.hpp): any str, lone surrogates included.
std::string text_of(nb::handle value) {
  return text_bytes(steal_or_throw<nb::str>(PyObject_Str(value.ptr())));
}

bool equal(nb::handle a, nb::handle b) {
  const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

/// Calls `visit` with every element of an iterable, each owned while visited (the
/// visit may run Python code that changes the container). Stops when it returns true.
template <class Visit>
void for_each_item(nb::handle iterable, Visit&& visit) {
  nb::object iterator = steal_or_throw(PyObject_GetIter(iterable.ptr()));
  while (PyObject* raw = PyIter_Next(iterator.ptr())) {
    nb::object item = nb::steal(raw);
    if (visit(item)) return;
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

/// The first element of `records` whose field `field` equals `key`, or None.
nb::object first_where(nb::handle records, nb::handle field, nb::handle key) {
  nb::object found = nb::none();
  for_each_item(records, [&](const nb::object& record) {
    if (!equal(record.attr(field), key)) return false;
    found = record;
    return true;
  });
  return found;
}

/// A list of `field` of every element of `records` that passes `keep`.
template <class Keep>
nb::list collect(nb::handle records, nb::handle field, Keep&& keep) {
  nb::list result;
  for_each_item(records, [&](const nb::object& record) {
    if (keep(record)) result.append(record.attr(field));
    return false;
  });
  return result;
}

nb::list collect_all(nb::handle records, nb::handle field) {
  return collect(records, field, [](const nb::object&) { return true; });
}

/// `field` of every record where it is set and differs from the record's `attribute`.
nb::list collect_created(nb::handle records, nb::handle field) {
  return collect(records, field, [&](const nb::object& record) {
    nb::object created = record.attr(field);
    return !created.is_none() && !equal(created, record.attr(state->attribute));
  });
}

void check_attribute(nb::handle attribute) {
  check_argument_type(attribute, &PyUnicode_Type, "attribute", NoneAllowed::no);
}

// --- the registry: look-ups, listings, formulas ------------------------------------------

nb::object get_feature_binning(nb::handle self, nb::handle attribute) {
  check_attribute(attribute);
  return first_where(self.attr(state->binning), state->attribute, attribute);
}

bool feature_binning_exists(nb::handle self, nb::handle attribute) {
  return !get_feature_binning(self, attribute).is_none();
}

nb::list get_all_transformation_attributes(nb::handle self) {
  return collect_all(self.attr(state->transformations), state->attribute);
}

nb::list get_attributes_created_in_transformations(nb::handle self) {
  return collect_created(self.attr(state->transformations), state->transformed_attribute_name);
}

nb::list get_all_binning_attributes(nb::handle self) {
  return collect_all(self.attr(state->binning), state->attribute);
}

nb::list get_attributes_created_in_binning(nb::handle self) {
  return collect_created(self.attr(state->binning), state->binned_attribute_name);
}

nb::list get_all_dummy_enc_attributes(nb::handle self) {
  nb::list result;
  for_each_item(self.attr(state->dummy_encoding), [&](const nb::object& encoding) {
    for_each_item(encoding.attr(state->encoding), [&](const nb::object& single) {
      result.append(single.attr(state->encoded_feature_name));
      return false;
    });
    return false;
  });
  return result;
}

nb::object get_transformation_formula(nb::handle self, nb::handle attribute) {
  check_attribute(attribute);
  nb::object found =
      first_where(self.attr(state->transformations), state->transformed_attribute_name, attribute);
  if (found.is_none()) return nb::borrow(attribute);
  nb::object formula = found.attr(state->transformation);
  nb::object opened = steal_or_throw(PyUnicode_Concat(nb::str("(").ptr(), formula.ptr()));
  return steal_or_throw(PyUnicode_Concat(opened.ptr(), nb::str(")").ptr()));
}

void add_feature_transformation(nb::handle self, nb::handle transformations) {
  check_argument_type(transformations, &PyList_Type, "transformations", NoneAllowed::no);
  nb::object target = self.attr(state->transformations);
  for_each_item(transformations, [&](const nb::object& entries) {
    // FeatureTransformation(**entries)
    if (!PyMapping_Check(entries.ptr()) || PySequence_Check(entries.ptr())) {
      PyErr_Format(PyExc_TypeError,
                   "FeatureTransformation() argument after ** must be a mapping, not %.200s",
                   Py_TYPE(entries.ptr())->tp_name);
      throw nb::python_error();
    }
    nb::dict kwargs;
    if (PyDict_Merge(kwargs.ptr(), entries.ptr(), 1) < 0) throw nb::python_error();
    nb::object transformation = steal_or_throw(
        PyObject_Call(state->feature_transformation.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    target.attr("append")(transformation);
    return false;
  });
}

// --- the builder of binnings -------------------------------------------------------------

/// "Binning attribute <attribute>: ", the prefix of every error raised while building or
/// applying a binning, and of the builder's warnings.
std::string binning_error_prefix(nb::handle attribute) {
  // The builder's attributes are any dict keys; those of lookups are texts.
  return "Binning attribute " +
         (PyUnicode_Check(attribute.ptr()) ? text_bytes(attribute) : text_of(attribute)) + ": ";
}

[[noreturn]] void raise_binning_error(PyObject* kind, nb::handle attribute,
                                      const std::string& what) {
  PyErr_SetObject(kind, from_text_bytes(binning_error_prefix(attribute) + what).ptr());
  throw nb::python_error();
}

// The keys the builder reads. Others are ignored, so that stored specifications with
// extra keys keep working, but each is reported: a misspelt key would go unnoticed.
constexpr std::array<std::string_view, 10> kSpecificationKeys{
    "dtype",    "bins",           "bin_vals",         "bin_frequencies", "bin_target_rates",
    "null_val", "null_frequency", "null_target_rate", "default",         "binned_attribute_name"};

/// Read access to one attribute's binning specification.
class Specification {
 public:
  Specification(nb::handle attribute, nb::handle spec)
      : attribute_(nb::borrow(attribute)), spec_(nb::borrow(spec)) {
    if (PyDict_Check(spec.ptr()) || (PyMapping_Check(spec.ptr()) && !PySequence_Check(spec.ptr())))
      return;
    const std::string name = text_of(attribute);
    PyErr_Format(PyExc_TypeError,
                 "Binning specification of attribute '%.200s' has incorrect type (expected dict, "
                 "got %.200s)",
                 name.c_str(), Py_TYPE(spec.ptr())->tp_name);
    throw nb::python_error();
  }

  /// The entry `key`, or nullopt when absent.
  std::optional<nb::object> get(const char* key) const {
    nb::str name(key);
    const int present = PySequence_Contains(spec_.ptr(), name.ptr());
    if (present < 0) throw nb::python_error();
    if (!present) return std::nullopt;
    return steal_or_throw(PyObject_GetItem(spec_.ptr(), name.ptr()));
  }
  nb::object get_or(const char* key, nb::object absent) const {
    return get(key).value_or(std::move(absent));
  }
  /// The entry `key`; a missing key raises KeyError(key).
  nb::object require(const char* key) const {
    return steal_or_throw(PyObject_GetItem(spec_.ptr(), nb::str(key).ptr()));
  }
  /// `entry[i]` of a per-bin list of `count` bins, None when the list is absent (or null).
  nb::object per_bin(const char* key, Py_ssize_t i, Py_ssize_t count) const {
    std::optional<nb::object> list = get(key);
    if (!list || list->is_none()) return nb::none();
    try {
      return item(*list, i);
    } catch (const nb::python_error& e) {
      if (!e.matches(PyExc_IndexError)) throw;
    }
    raise_binning_error(
        PyExc_IndexError, attribute_,
        std::string(key) + " has fewer values than the " + std::to_string(count) + " bins");
  }

  /// Logs one warning for each key the builder does not read.
  void warn_unknown_keys() const {
    nb::list keys = steal_or_throw<nb::list>(PyMapping_Keys(spec_.ptr()));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.ptr()); ++k) {
      nb::object key = nb::borrow(PyList_GET_ITEM(keys.ptr(), k));
      if (PyUnicode_Check(key.ptr()) &&
          std::find(kSpecificationKeys.begin(), kSpecificationKeys.end(), text_bytes(key)) !=
              kSpecificationKeys.end())
        continue;
      const std::string shown = text_bytes(steal_or_throw<nb::str>(PyObject_Repr(key.ptr())));
      state->logger.warning(binning_error_prefix(attribute_) + "unknown key " + shown +
                            " is ignored");
    }
  }

  /// Raises ValueError unless the numeric edges `lower`, `upper` increase; edges that are
  /// not numbers are left to the bin's validation.
  void check_edges(nb::handle lower, nb::handle upper) const {
    const auto number = [](nb::handle edge) {
      return PyFloat_Check(edge.ptr()) || PyLong_Check(edge.ptr());
    };
    if (!number(lower) || !number(upper)) return;
    const int increasing = PyObject_RichCompareBool(lower.ptr(), upper.ptr(), Py_LT);
    if (increasing < 0) throw nb::python_error();
    if (increasing) return;
    // The texts bin names show.
    nb::object format = state->bins.numerical_bin.attr("_get_number_formatting");
    raise_binning_error(
        PyExc_ValueError, attribute_,
        "edges must increase: " + text_of(format(lower)) + " then " + text_of(format(upper)));
  }

  static nb::object item(nb::handle sequence, Py_ssize_t i) {
    return steal_or_throw(PyObject_GetItem(sequence.ptr(), nb::int_(i).ptr()));
  }

 private:
  nb::object attribute_, spec_;
};

nb::dict binning_mapping(nb::handle attribute, nb::handle spec_object) {
  const Specification spec(attribute, spec_object);
  spec.warn_unknown_keys();
  nb::object dtype = spec.get_or("dtype", nb::none());
  nb::list bins;
  nb::dict binning;
  binning["attribute"] = attribute;
  binning["attribute_data_type"] = dtype;
  binning["feature_binning"] = bins;
  binning["binned_attribute_name"] = spec.get_or("binned_attribute_name", nb::none());

  nb::object edges = spec.require("bins");
  const bool categorical = equal(dtype, state->categorical);
  const Py_ssize_t length = PyObject_Size(edges.ptr());
  if (length < 0) throw nb::python_error();
  const Py_ssize_t count = categorical ? length : length - 1;
  for (Py_ssize_t i = 0; i < count; ++i) {
    nb::dict bin;
    bin["type"] = dtype;
    if (categorical) {
      bin["categories"] = Specification::item(edges, i);
    } else {
      nb::object lower = Specification::item(edges, i), upper = Specification::item(edges, i + 1);
      spec.check_edges(lower, upper);
      bin["lower_bound"] = lower;
      bin["upper_bound"] = upper;
    }
    bin["value"] = spec.per_bin("bin_vals", i, count);
    bin["frequency"] = spec.per_bin("bin_frequencies", i, count);
    bin["target_rate"] = spec.per_bin("bin_target_rates", i, count);
    bin["id"] = nb::int_(i + 2);
    bins.append(bin);
  }

  nb::dict null_bin;
  null_bin["type"] = dtype;
  null_bin["name"] = zelvora::py::to_str(zelvora::kNullBinName);
  null_bin["value"] = spec.get_or("null_val", nb::float_(0.0));
  null_bin["frequency"] = spec.get_or("null_frequency", nb::none());
  null_bin["target_rate"] = spec.get_or("null_target_rate", nb::none());
  null_bin["id"] = nb::int_(1);
  bins.append(null_bin);

  nb::object fallback = spec.get_or("default", nb::none());
  const int truthy = PyObject_IsTrue(fallback.ptr());
  if (truthy < 0) throw nb::python_error();
  nb::dict default_bin;
  default_bin["type"] = dtype;
  default_bin["name"] =
      to_str(fallback.is_none() ? zelvora::kSystemDefaultBinName : zelvora::kDefinedDefaultBinName);
  default_bin["value"] = truthy ? fallback : nb::object(nb::float_(0.0));
  default_bin["frequency"] = nb::float_(0.0);
  default_bin["target_rate"] = nb::float_(0.0);
  default_bin["id"] = nb::int_(0);
  bins.append(default_bin);
  return binning;
}

nb::list add_feature_binning(nb::handle, nb::handle attributes_binning) {
  check_argument_type(attributes_binning, &PyDict_Type, "attributes_binning", NoneAllowed::no);
  // The items are taken up front: building runs Python code that could change the mapping.
  nb::object items = steal_or_throw(PyDict_Items(attributes_binning.ptr()));
  nb::list result;
  for_each_item(items, [&](const nb::object& item) {
    nb::dict mapping = binning_mapping(nb::handle(PyTuple_GET_ITEM(item.ptr(), 0)),
                                       nb::handle(PyTuple_GET_ITEM(item.ptr(), 1)));
    result.append(state->feature_binning.attr("model_validate")(mapping));
    return false;
  });
  return result;
}

// --- applying binning --------------------------------------------------------------------

enum class Lookup { numeric, categoric, none };

Lookup lookup_of(nb::handle binning) {
  nb::object data_type = binning.attr(state->attribute_data_type);
  if (equal(data_type, state->numerical)) return Lookup::numeric;
  if (equal(data_type, state->categorical)) return Lookup::categoric;
  return Lookup::none;
}

nb::object apply_feature_binning(nb::handle self, nb::handle attribute,
                                 nb::handle attribute_value) {
  check_attribute(attribute);
  nb::object binning = get_feature_binning(self, attribute);
  if (binning.is_none()) return binning;
  return with_error_prefix(
      [&] { return binning_error_prefix(attribute); },
      [&]() -> nb::object {
        switch (lookup_of(binning)) {
          case Lookup::numeric:
            return binning.attr(state->bin_numeric_attribute)(attribute_value);
          case Lookup::categoric:
            return binning.attr(state->bin_categoric_attribute)(attribute_value);
          case Lookup::none:
            break;
        }
        return nb::none();
      });
}

// --- batches ---------------------------------------------------------------------------
//
// A batch reads the binning's bins once into a compiled binning (zelvora/compiled_binning.hpp)
// and searches it per value, value by value equal to the single-value lookup. Where the
// compiled search cannot answer alone, the binning's own single-value operation answers,
// so results, errors and log records stay exactly its own:
//   - the binning cannot be compiled (a field that cannot be read, categories holding
//     something other than plain texts): every value;
//   - a value reaches a bin without a needed bound or categories: that value (it raises);
//   - a value that is not a float, an int, None or a plain str (a str subclass compares
//     through its own ==; other kinds are refused): that value.

void log_default_hit(zelvora::DefaultHitLog log, const std::string& attribute,
                     const std::string& value_text) {
  const std::string message = zelvora::default_hit_message(attribute, value_text);
  if (log == zelvora::DefaultHitLog::warning) {
    state->binning_logger.warning(message);
  } else if (log == zelvora::DefaultHitLog::debug) {
    state->binning_logger.debug(message);
  }
}

// The results of a batch, one per input value; values are added in input order. Until it
// is finished the list has empty slots, so the garbage collector must not hand it to Python
// code (gc.get_objects() in a log processor) that could read them: it is tracked only once
// complete.
class BatchResult {
 public:
  explicit BatchResult(Py_ssize_t expected)
      : list_(steal_or_throw<nb::list>(PyList_New(expected))), expected_(expected) {
    PyObject_GC_UnTrack(list_.ptr());
  }

  void set(Py_ssize_t i, nb::handle value) {
    if (i < expected_) {
      PyList_SET_ITEM(list_.ptr(), i, Py_NewRef(value.ptr()));
    } else if (PyList_Append(list_.ptr(), value.ptr()) < 0) {
      throw nb::python_error();
    }
  }

  /// The list of the first `count` results (the input may change length on the way).
  nb::list finish(Py_ssize_t count) {
    if (count < expected_ && PyList_SetSlice(list_.ptr(), count, expected_, nullptr) < 0)
      throw nb::python_error();
    PyObject_GC_Track(list_.ptr());
    return std::move(list_);
  }

 private:
  nb::list list_;
  Py_ssize_t expected_;
};

// The text bytes of a str as a hash key: a view of an ASCII str's own characters, a copy
// otherwise. Valid while the str lives; never copied or moved, as the view may point into
// the key's own copy.
class TextKey {
 public:
  explicit TextKey(nb::handle text) {
    if (std::optional<std::string_view> ascii = ascii_view(text)) {
      view_ = *ascii;
    } else {
      copy_ = text_bytes(text);
      view_ = copy_;
    }
  }
  TextKey(const TextKey&) = delete;
  TextKey& operator=(const TextKey&) = delete;
  std::string_view view() const { return view_; }

 private:
  std::string copy_;
  std::string_view view_;
};

// The number a numeric lookup searches for: None is NaN, anything else float(value).
double lookup_number(nb::handle value) {
  if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
  if (value.is_none()) return std::numeric_limits<double>::quiet_NaN();
  if (PyLong_CheckExact(value.ptr())) {
    // What float(int) does, without the intermediate float.
    const double x = PyLong_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return x;
  }
  return to_double(steal_or_throw(PyNumber_Float(value.ptr())));
}

/// Runs `answer(value)` (a compiled answer, or nullopt to defer) for every value of the
/// list, deferring to the single-value operation `single`. Each value is owned while it is
/// looked up: converting it, logging or the single-value operation may run Python code
/// that changes the list, whose length is read again for every value, as a for loop does.
template <class Answer>
nb::list bin_each(nb::handle values, nb::handle single, Answer&& answer) {
  BatchResult result(PyList_GET_SIZE(values.ptr()));
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(values.ptr()); ++i) {
    nb::object value = nb::borrow(PyList_GET_ITEM(values.ptr(), i));
    std::optional<nb::handle> answered;
    try {
      answered = answer(value);
    } catch (const zelvora::IncompleteBin&) {
      // The single-value lookup raises it, worded as the host words it.
    }
    if (answered) {
      result.set(i, *answered);
    } else {
      result.set(i, single(value));
    }
  }
  return result.finish(i);
}

nb::list bin_numeric_batch(nb::handle binning, nb::handle values) {
  nb::object single = binning.attr(state->bin_numeric_attribute);
  auto batch = compile_numeric_bins(state->bins, binning);
  if (!batch) return bin_each(values, single, [](nb::handle) { return std::nullopt; });
  return bin_each(values, single, [&](nb::handle value) -> std::optional<nb::handle> {
    const double x = lookup_number(value);
    const zelvora::BinChoice choice = batch->compiled.find(x);
    if (choice.log != zelvora::DefaultHitLog::none)
      log_default_hit(choice.log, batch->attribute, zelvora::float_repr(x));
    return choice.bin ? nb::handle(batch->values[*choice.bin]) : nb::none();
  });
}

nb::list bin_categoric_batch(nb::handle binning, nb::handle values) {
  nb::object single = binning.attr(state->bin_categoric_attribute);
  auto batch = compile_categoric_bins(state->bins, binning);
  if (!batch) return bin_each(values, single, [](nb::handle) { return std::nullopt; });
  return bin_each(values, single, [&](nb::handle value) -> std::optional<nb::handle> {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) return std::nullopt;
    std::optional<TextKey> text;
    if (!value.is_none()) text.emplace(value);
    const zelvora::BinChoice choice = !text || zelvora::is_missing_category(text->view())
                                          ? batch->compiled.find_missing()
                                          : batch->compiled.find(text->view());
    if (choice.log != zelvora::DefaultHitLog::none)
      log_default_hit(choice.log, batch->attribute, text ? text_bytes(value) : "None");
    return choice.bin ? nb::handle(batch->values[*choice.bin]) : nb::none();
  });
}

nb::object apply_feature_binning_batch(nb::handle self, nb::handle attribute,
                                       nb::handle attribute_values) {
  check_attribute(attribute);
  check_argument_type(attribute_values, &PyList_Type, "attribute_values", NoneAllowed::no);
  nb::object binning = get_feature_binning(self, attribute);
  if (binning.is_none()) return binning;
  return with_error_prefix([&] { return binning_error_prefix(attribute); },
                           [&]() -> nb::object {
                             switch (lookup_of(binning)) {
                               case Lookup::numeric:
                                 return bin_numeric_batch(binning, attribute_values);
                               case Lookup::categoric:
                                 return bin_categoric_batch(binning, attribute_values);
                               case Lookup::none:
                                 break;
                             }
                             // No lookup applies to any value.
                             nb::list nothing;
                             for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attribute_values.ptr());
                                  ++i)
                               nothing.append(nb::none());
                             return nothing;
                           });
}

// --- dummy encoding ----------------------------------------------------------------------

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
    state->logger.warning("No dummy encoding for " + text_bytes(attribute) + " was found.");
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
  const std::string prefix = "Dummy encoding for value '" + value_text + "' of attribute '" +
                             text_bytes(attribute) + "' is not defined";
  const int named = default_name.is_none() ? 0 : PyObject_IsTrue(default_name.ptr());
  if (named < 0) throw nb::python_error();
  if (named) {
    result[default_name] = one;
    state->logger.info(prefix + ". Default value '" + text_of(default_name) +
                       "' was assigned with 1.");
  } else {
    state->logger.warning(prefix +
                          " and no default value was assigned. All dummies for given attribute "
                          "are assigned with 0.");
  }
  return result;
}

// --- records -----------------------------------------------------------------------------

nb::object check_created_attribute_naming(nb::handle self) {
  nb::object attribute = self.attr(state->attribute);
  bool broken = false;
  for_each_item(self.attr(state->encoding), [&](const nb::object& single) {
    broken = equal(single.attr(state->encoded_feature_name), attribute);
    return broken;
  });
  if (broken) {
    const std::string message =
        "Features created by dummy encoding in predictive model cannot be named the same as "
        "feature that is being encoded. This rule is broken for feature '" +
        text_of(attribute) + "'";
    PyErr_SetObject(PyExc_ValueError, from_text_bytes(message).ptr());
    throw nb::python_error();
  }
  return nb::borrow(self);
}

struct Records {
  nb::object single_value, dummy_encoding, feature_preprocessing;
};

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

RecordDecl feature_preprocessing_record(nb::handle core_model, const Records& r) {
  const State& s = *state;
  return {
      .name = "FeaturePreprocessing",
      .doc =
          "Transformations, binnings and dummy encodings applied to attribute values before "
          "a model is evaluated.",
      .base = core_model,
      .fields =
          {
              {"transformations", list_of(s.feature_transformation), default_factory(list_type())},
              {"binning", list_of(s.feature_binning), default_factory(list_type())},
              {"dummy_encoding", list_of(r.dummy_encoding), default_factory(list_type())},
          },
      .methods =
          {
              method("get_transformation_formula", &get_transformation_formula,
                     nb::arg("attribute").none(),
                     nb::sig("def get_transformation_formula(self, attribute: str) -> str"),
                     "The formula producing `attribute`, in parentheses; the attribute itself "
                     "when no transformation produces it."),
              method("add_feature_transformation", &add_feature_transformation,
                     nb::arg("transformations").none(),
                     nb::sig("def add_feature_transformation(self, transformations: list[dict[str, "
                             "Any]]) -> None"),
                     "Appends a transformation built from each mapping of the list."),
              class_method(
                  "add_feature_binning", &add_feature_binning, nb::arg("cls"),
                  nb::arg("attributes_binning").none(),
                  nb::sig("def add_feature_binning(cls, attributes_binning: dict[str, dict[str, "
                          "Any]]) -> list[FeatureBinning]"),
                  "Binnings built from a compact specification (attribute name to "
                  "dtype, bins, values...); changes no record."),
              method("get_feature_binning", &get_feature_binning, nb::arg("attribute").none(),
                     nb::sig("def get_feature_binning(self, "
                             "attribute: str) -> Optional[FeatureBinning]"),
                     "The first binning of `attribute`, or None."),
              method("feature_binning_exists", &feature_binning_exists, nb::arg("attribute").none(),
                     nb::sig("def feature_binning_exists(self, attribute: str) -> bool"),
                     "Whether `attribute` has a binning."),
              method("get_all_transformation_attributes", &get_all_transformation_attributes,
                     nb::sig("def get_all_transformation_attributes(self) -> list[str]"),
                     "The attribute of every transformation."),
              method("get_attributes_created_in_transformations",
                     &get_attributes_created_in_transformations,
                     nb::sig("def get_attributes_created_in_transformations(self) -> list[str]"),
                     "The new attribute names that transformations produce."),
              method("get_all_binning_attributes", &get_all_binning_attributes,
                     nb::sig("def get_all_binning_attributes(self) -> list[str]"),
                     "The attribute of every binning."),
              method("get_attributes_created_in_binning", &get_attributes_created_in_binning,
                     nb::sig("def get_attributes_created_in_binning(self) -> list[str]"),
                     "The new attribute names that binnings produce."),
              method("get_all_dummy_enc_attributes", &get_all_dummy_enc_attributes,
                     nb::sig("def get_all_dummy_enc_attributes(self) -> list[str]"),
                     "The indicator names that the dummy encodings create."),
              method("apply_feature_binning", &apply_feature_binning, nb::arg("attribute").none(),
                     nb::arg("attribute_value").none(),
                     nb::sig("def apply_feature_binning(self, attribute: str, "
                             "attribute_value: Union[str, int, float, None]) -> Optional[float]"),
                     "The bin value of one value of `attribute`; None without a binning."),
              method("apply_feature_binning_batch", &apply_feature_binning_batch,
                     nb::arg("attribute").none(), nb::arg("attribute_values").none(),
                     nb::sig("def apply_feature_binning_batch(self, attribute: str, "
                             "attribute_values: list[Any]) -> Optional[list[Optional[float]]]"),
                     "The bin values of a list of values of `attribute`, in order; None "
                     "without a binning."),
              method("apply_dummy_encoding", &apply_dummy_encoding, nb::arg("attribute").none(),
                     nb::arg("attribute_value").none(),
                     nb::sig("def apply_dummy_encoding(self, attribute: str, "
                             "attribute_value: Union[str, int, float, None]) -> Optional[dict[str, "
                             "int]]"),
                     "The indicator values (name to 0 or 1) of one value of `attribute`; None "
                     "without an encoding."),
          },
  };
}

Records declare_records(nb::module_& m) {
  nb::object core_model = record_base();
  Records r;
  r.single_value = declare_record(m, single_value_record(core_model));
  r.dummy_encoding = declare_record(m, dummy_encoding_record(core_model, r.single_value));
  r.feature_preprocessing = declare_record(m, feature_preprocessing_record(core_model, r));
  return r;
}

// The schema library lists a view's fields in the record's field order; this view shows
// them in its own order.
void order_view_fields(nb::handle view, std::initializer_list<const char*> order) {
  nb::list fields = nb::borrow<nb::list>(view.attr("__strawberry_definition__").attr("fields"));
  nb::list ordered;
  for (const char* name : order) {
    for (nb::handle field : nb::list(fields)) {
      if (equal(field.attr("name"), nb::str(name))) ordered.append(field);
    }
  }
  if (nb::len(ordered) != nb::len(fields)) throw std::logic_error("view fields out of step");
  view.attr("__strawberry_definition__").attr("fields") = ordered;
}

void declare_views(nb::module_& m) {
  nb::object view = declare_view(m, {
                                        .name = "FeaturePreprocessingType",
                                        .record = m.attr("FeaturePreprocessing"),
                                        .mirrored = {"binning", "transformations"},
                                    });
  order_view_fields(view, {"binning", "transformations"});
}

}  // namespace

NB_MODULE(feature_preprocessing, m) {
  describe_module(m,
                  "The preparation of a model's inputs: transformations and binnings of its "
                  "attributes, applied in order.");
  load_api(m);
  State& s = state.emplace(m);
  s.feature_binning = import_class(kBinningModule, "FeatureBinning");
  s.bins.numerical_bin = import_class(kBinningModule, "AttributeBinNumerical");
  s.bins.categorical_bin = import_class(kBinningModule, "AttributeBinCategorical");
  nb::object data_type = import_class(kBinningModule, "AttributeDataType");
  s.numerical = data_type.attr("NUMERICAL");
  s.categorical = data_type.attr("CATEGORICAL");
  s.feature_transformation = import_class(kTransformationModule, "FeatureTransformation");
  s.logger = Logger(kModule);
  s.binning_logger = Logger(kBinningModule);
  declare_records(m);
  declare_views_lazily(m, {"FeaturePreprocessingType"}, &declare_views);
  m.attr("logger") = s.logger.proxy();
}
