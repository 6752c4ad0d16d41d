#include "common/record_bins.hpp"

#include <cmath>
#include <cstring>

#include "common/conversions.hpp"

namespace zelvora::py {

namespace {

// The instance dict of a record; null when it has none (a bin with __slots__).
nb::object instance_dict(nb::handle record) {
  nb::object dict = nb::steal(PyObject_GenericGetDict(record.ptr(), nullptr));
  if (!dict.is_valid()) PyErr_Clear();
  return dict;
}

// `key` from the record's instance dict, else by attribute access. The item is owned
// before anything else runs.
nb::object field_in(nb::handle dict, nb::handle record, nb::handle key) {
  if (dict.is_valid()) {
    if (PyObject* item = PyDict_GetItemWithError(dict.ptr(), key.ptr())) return nb::borrow(item);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  return nb::getattr(record, key);
}

}  // namespace

nb::object record_field(nb::handle record, nb::handle key) {
  return field_in(instance_dict(record), record, key);
}

// --- RecordBins ------------------------------------------------------------------------

RecordBins::RecordBins(const BinRecordTypes& types, nb::handle binning, nb::handle kind)
    : types_(types), kind_(reinterpret_cast<PyTypeObject*>(kind.ptr())) {
  nb::object given = record_field(binning, types.feature_binning);
  bins_ = steal_or_throw(PySequence_Fast(given.ptr(), "feature_binning must be a list"));
  // A list or tuple comes back as itself: copy it, so that the lookup owns what it reads.
  if (bins_.is(given) || !PyList_CheckExact(bins_.ptr()))
    bins_ = steal_or_throw(PySequence_List(bins_.ptr()));
}

nb::object RecordBins::field(std::size_t i, nb::handle key) const {
  if (i != cached_index_) {
    cached_dict_ = instance_dict(bin(i));
    cached_index_ = i;
  }
  return field_in(cached_dict_, bin(i), key);
}

zelvora::BinRole RecordBins::role(std::size_t i) const {
  nb::object name = field(i, types_.name);
  if (!PyUnicode_Check(name.ptr())) return zelvora::BinRole::ordinary;
  // Reserved names are ASCII: any other text names an ordinary bin.
  const std::optional<std::string_view> ascii = ascii_view(name);
  return ascii ? zelvora::bin_role(*ascii) : zelvora::BinRole::ordinary;
}

namespace {

std::optional<double> bound(nb::handle b) {
  if (b.is_none()) return std::nullopt;
  if (PyFloat_CheckExact(b.ptr())) return PyFloat_AS_DOUBLE(b.ptr());
  return to_double(b);
}

}  // namespace

std::optional<double> RecordBins::lower_bound(std::size_t i) const {
  return bound(field(i, types_.lower_bound));
}

std::optional<double> RecordBins::upper_bound(std::size_t i) const {
  return bound(field(i, types_.upper_bound));
}

// --- CategoricalRecordBins -------------------------------------------------------------

CategoricalRecordBins::CategoricalRecordBins(const BinRecordTypes& types, nb::handle binning,
                                             nb::handle value)
    : RecordBins(types, binning, types.categorical_bin), value_(nb::borrow(value)) {}

namespace {

bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// `value in categories` for a list and an exact str, comparing exact str items directly
// (equal texts share one representation) and others through ==. Each item is owned
// before ==, which may run Python code that edits the list.
bool list_holds_text(nb::handle categories, PyObject* value) {
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

}  // namespace

std::optional<bool> CategoricalRecordBins::contains_value(std::size_t i) const {
  nb::object categories = field(i, types_.categories);
  if (categories.is_none()) return std::nullopt;
  if (PyList_CheckExact(categories.ptr()) && PyUnicode_CheckExact(value_.ptr()))
    return list_holds_text(categories, value_.ptr());
  const int found = PySequence_Contains(categories.ptr(), value_.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

bool is_missing_category_value(nb::handle value) {
  PyObject* v = value.ptr();
  if (value.is_none()) return true;
  if (PyUnicode_Check(v)) {
    const std::optional<std::string_view> ascii = ascii_view(value);
    return ascii && zelvora::is_missing_category(*ascii);
  }
  return PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v));
}

// --- lookups ---------------------------------------------------------------------------

void raise_incomplete(const zelvora::IncompleteBin& e) {
  const std::string_view message = zelvora::incomplete_bin_message(e.part());
  PyErr_SetObject(PyExc_TypeError, to_str(message).ptr());
  throw nb::python_error();
}

namespace {

template <class Bins>
BinHit hit_of(const Bins& bins, const zelvora::BinChoice& choice) {
  return {choice.bin ? nb::borrow(bins.bin(*choice.bin)) : nb::none(), choice.log};
}

}  // namespace

BinHit find_numerical_bin_record(const BinRecordTypes& types, nb::handle binning, double x,
                                 const zelvora::LookupPolicy& policy) {
  RecordBins bins(types, binning, types.numerical_bin);
  try {
    return hit_of(bins, zelvora::find_numeric_bin(bins, x, policy));
  } catch (const zelvora::IncompleteBin& e) {
    raise_incomplete(e);
  }
}

BinHit find_categorical_bin_record(const BinRecordTypes& types, nb::handle binning,
                                   nb::handle value, const zelvora::LookupPolicy& policy) {
  const bool missing = is_missing_category_value(value);
  CategoricalRecordBins bins(types, binning, value);
  try {
    return hit_of(bins, zelvora::find_categoric_bin(bins, missing, policy));
  } catch (const zelvora::IncompleteBin& e) {
    raise_incomplete(e);
  }
}

}  // namespace zelvora::py
