// The registry part of FeaturePreprocessing: look-ups and listings by attribute, formulas,
// the builder of binnings from a compact specification, and binning one value.
#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/record_changes.hpp"
#include "common/records.hpp"
#include "feature_preprocessing.hpp"
#include "zelvora/bin_names.hpp"
#include "zelvora/preprocessing_messages.hpp"

namespace zelvora::py::preprocessing {

// --- the index of binnings by attribute -------------------------------------------------

int BinningIndex::traverse(visitproc visit, void* arg) const {
  for (const nb::object* o : {&weakref, &list, &items, static_cast<const nb::object*>(&first)})
    Py_VISIT(o->ptr());
  for (const nb::object& o : attributes) Py_VISIT(o.ptr());
  return 0;
}

namespace {

// Whether the index still describes the list: the same list holding the same binnings
// (every call: it changes in place), and, after an assignment to some record (or __init__
// run again), the same attribute objects.
bool still_valid(BinningIndex& index, PyObject* list, nb::handle attribute_key) {
  if (list != index.list.ptr() || !holds_same(list, index.items.ptr())) return false;
  const std::uint64_t changes = record_changes();
  if (changes == index.changes) return true;
  for (std::size_t i = 0; i < index.attributes.size(); ++i) {
    PyObject* binning = PyTuple_GET_ITEM(index.items.ptr(), static_cast<Py_ssize_t>(i));
    PyObject* dict = instance_dict_of(binning);
    if (!dict || dict_item(dict, attribute_key.ptr()) != index.attributes[i].ptr()) return false;
  }
  index.changes = changes;
  return true;
}

// Reads the index anew; null when a binning cannot be read without running code (no
// instance dict, an attribute that is not an exact str): the search answers then.
std::unique_ptr<BinningIndex> read_index(PyObject* list, nb::handle attribute_key) {
  auto index = std::make_unique<BinningIndex>();
  index->changes = record_changes();
  index->list = nb::borrow(list);
  index->items = steal_or_throw(PyList_AsTuple(list));
  const Py_ssize_t n = PyTuple_GET_SIZE(index->items.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* binning = PyTuple_GET_ITEM(index->items.ptr(), i);
    PyObject* dict = instance_dict_of(binning);
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    PyObject* attribute = dict_item(dict, attribute_key.ptr());
    if (!attribute || !PyUnicode_CheckExact(attribute)) return nullptr;
    index->attributes.push_back(nb::borrow(attribute));
    if (PyDict_SetDefault(index->first.ptr(), attribute, binning) == nullptr)
      throw nb::python_error();
  }
  return index;
}

// The registry's binning list when it can be indexed: an exact list in the instance dict.
PyObject* indexable_list(nb::handle self) {
  PyObject* dict = instance_dict_of(self.ptr());
  if (!dict || !PyDict_CheckExact(dict)) return nullptr;
  PyObject* list = dict_item(dict, state->binning.ptr());
  return list && PyList_CheckExact(list) ? list : nullptr;
}

// The first binning of an exact-str attribute through the index; nullopt when the
// registry cannot be indexed.
std::optional<nb::object> indexed_binning(nb::handle self, nb::handle attribute) {
  if (!PyUnicode_CheckExact(attribute.ptr())) return std::nullopt;
  State& s = *state;
  PyObject* list = indexable_list(self);
  if (!list) return std::nullopt;
  BinningIndex* index = s.binning_index.find(self);
  if (!index || !still_valid(*index, list, s.attribute)) {
    std::unique_ptr<BinningIndex> fresh = read_index(list, s.attribute);
    if (!fresh) return std::nullopt;
    // Kept, or used this once when the registry takes no weak references.
    nb::dict first = fresh->first;
    index = s.binning_index.keep(self, std::move(fresh));
    if (!index) {
      PyObject* found = PyDict_GetItemWithError(first.ptr(), attribute.ptr());
      if (!found && PyErr_Occurred()) throw nb::python_error();
      return found ? nb::borrow(found) : nb::none();
    }
  }
  // Exact str keys: the lookup runs no Python code.
  PyObject* found = PyDict_GetItemWithError(index->first.ptr(), attribute.ptr());
  if (!found && PyErr_Occurred()) throw nb::python_error();
  return found ? nb::borrow(found) : nb::none();
}

}  // namespace

nb::object get_feature_binning(nb::handle self, nb::handle attribute) {
  check_attribute(attribute);
  if (std::optional<nb::object> found = indexed_binning(self, attribute)) return *found;
  return first_where(self.attr(state->binning), state->attribute, attribute);
}

std::string attribute_text(nb::handle attribute) {
  // The builder's attributes are any dict keys; those of lookups are texts.
  return PyUnicode_Check(attribute.ptr()) ? text_bytes(attribute) : text_of(attribute);
}

std::string binning_error_prefix(nb::handle attribute) {
  return zelvora::binning_error_prefix(attribute_text(attribute));
}

Lookup lookup_of(nb::handle binning) {
  nb::object data_type = binning.attr(state->attribute_data_type);
  if (data_type.equal(state->numerical)) return Lookup::numeric;
  if (data_type.equal(state->categorical)) return Lookup::categoric;
  return Lookup::none;
}

namespace {

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
    return !created.is_none() && !created.equal(record.attr(state->attribute));
  });
}

// --- the registry: look-ups, listings, formulas ------------------------------------------

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

[[noreturn]] void raise_text(PyObject* kind, const std::string& message) {
  PyErr_SetObject(kind, from_text_bytes(message).ptr());
  throw nb::python_error();
}

// Keys the builder does not read are ignored, so that stored specifications with extra
// keys keep working, but each is reported: a misspelt key would go unnoticed.

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
    raise_text(PyExc_IndexError, zelvora::too_few_bin_entries(attribute_text(attribute_), key,
                                                              static_cast<std::size_t>(count)));
  }

  /// Logs one warning for each key the builder does not read.
  void warn_unknown_keys() const {
    nb::list keys = steal_or_throw<nb::list>(PyMapping_Keys(spec_.ptr()));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.ptr()); ++k) {
      nb::object key = nb::borrow(PyList_GET_ITEM(keys.ptr(), k));
      if (PyUnicode_Check(key.ptr()) && zelvora::is_specification_key(text_bytes(key))) continue;
      const std::string shown = text_bytes(steal_or_throw<nb::str>(PyObject_Repr(key.ptr())));
      state->logger.warning(zelvora::unknown_specification_key(attribute_text(attribute_), shown));
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
    const std::string lower_text = text_of(format(lower)), upper_text = text_of(format(upper));
    raise_text(PyExc_ValueError,
               zelvora::edges_must_increase(attribute_text(attribute_), lower_text, upper_text));
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
  const bool categorical = dtype.equal(state->categorical);
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

// --- binning one value -------------------------------------------------------------------

nb::object apply_feature_binning(nb::handle self, nb::handle attribute,
                                 nb::handle attribute_value) {
  check_attribute(attribute);
  nb::object binning = get_feature_binning(self, attribute);
  if (binning.is_none()) return binning;
  return with_error_prefix(
      [&] { return binning_error_prefix(attribute); },
      [&]() -> nb::object {
        nb::handle operation;
        switch (lookup_of(binning)) {
          case Lookup::numeric:
            operation = state->bin_numeric_attribute;
            break;
          case Lookup::categoric:
            operation = state->bin_categoric_attribute;
            break;
          case Lookup::none:
            return nb::none();
        }
        // Called as a method: no bound method is made for the call.
        PyObject* args[] = {binning.ptr(), attribute_value.ptr()};
        return steal_or_throw(PyObject_VectorcallMethod(operation.ptr(), args, 2, nullptr));
      });
}

}  // namespace

void init_registry(nb::module_&, RecordDecl& preprocessing) {
  const State& s = *state;
  preprocessing.fields.insert(
      preprocessing.fields.end(),
      {
          {"transformations", list_of(s.feature_transformation), default_factory(list_type())},
          {"binning", list_of(s.feature_binning), default_factory(list_type())},
      });
  preprocessing.methods.insert(
      preprocessing.methods.end(),
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
      });
}

}  // namespace zelvora::py::preprocessing
