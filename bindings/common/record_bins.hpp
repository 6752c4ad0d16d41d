// Bins read from records for the core's lookup (zelvora/bin_lookup.hpp), shared by every
// module that looks a value up in a FeatureBinning: the binning engine (the bin's value,
// catch-all hits logged) and the monitoring lookup (the bin record itself).
//
//   BinRecordTypes types;  // in the module's state: the bin classes, field names
//   types.numerical_bin = <AttributeBinNumerical>; types.categorical_bin = ...;
//   BinHit hit = find_numerical_bin_record(types, binning, value, zelvora::kMonitoringPolicy);
//   return hit.bin;  // the very record held in the binning, or None
//
// The lookup works on a private copy of the binning's bin list, taken once per call:
// reading a field of a bin may run Python code (a property, a bin with __slots__, another
// thread) that edits the record's own list. Field values are owned as soon as they are
// read. A bin missing a bound or its categories raises TypeError in Python's wording
// under the engine policy and is skipped under the monitoring policy.
//
// A batch over many values of one binning should read the bins once (see the compiled
// binning in zelvora/compiled_binning.hpp) and must give, value by value, what these
// functions give: compile from a RecordBins (numeric) or from a source adding
// `category_texts(i)` (text_bytes of each exact-str category, nullopt for None), and fall
// back to these functions value by value when compiling raises (a bin that cannot be
// read) or a bin holds a category that is not an exact str, or for a value that is not an
// exact str. Write the log record of each catch-all hit in input order.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <tuple>

#include "zelvora/bin_lookup.hpp"

namespace zelvora::py {

namespace nb = nanobind;

/// What reading bins from records needs: the two bin classes and the field names,
/// made once. A module keeps one in its state.
struct BinRecordTypes {
  nb::object numerical_bin, categorical_bin;
  nb::str name{"name"}, value{"value"}, lower_bound{"lower_bound"}, upper_bound{"upper_bound"},
      categories{"categories"}, feature_binning{"feature_binning"}, attribute{"attribute"};

  static constexpr auto references = std::make_tuple(
      &BinRecordTypes::numerical_bin, &BinRecordTypes::categorical_bin, &BinRecordTypes::name,
      &BinRecordTypes::value, &BinRecordTypes::lower_bound, &BinRecordTypes::upper_bound,
      &BinRecordTypes::categories, &BinRecordTypes::feature_binning, &BinRecordTypes::attribute);
};

/// A field of a record, read from its instance dict (falling back to attribute access).
nb::object record_field(nb::handle record, nb::handle key);

/// The bins of one binning, for the core's search. Bins of `kind` take part in stage 2.
class RecordBins {
 public:
  RecordBins(const BinRecordTypes& types, nb::handle binning, nb::handle kind);
  std::size_t size() const { return static_cast<std::size_t>(PyList_GET_SIZE(bins_.ptr())); }
  zelvora::BinRole role(std::size_t i) const;
  bool is_of_kind(std::size_t i) const { return PyObject_TypeCheck(bin(i).ptr(), kind_); }
  std::optional<double> lower_bound(std::size_t i) const;
  std::optional<double> upper_bound(std::size_t i) const;
  /// The bin record at i, owned by the private list.
  nb::handle bin(std::size_t i) const {
    return PyList_GET_ITEM(bins_.ptr(), static_cast<Py_ssize_t>(i));
  }
  nb::object field(std::size_t i, nb::handle key) const;

 protected:
  const BinRecordTypes& types_;

 private:
  PyTypeObject* kind_;
  nb::object bins_;  // a private list: no other code can change it
  mutable std::size_t cached_index_ = static_cast<std::size_t>(-1);
  mutable nb::object cached_dict_;
};

/// Categorical bins, answering whether a bin's categories hold one value (text or not;
/// anything but a text is compared with ==).
class CategoricalRecordBins : public RecordBins {
 public:
  CategoricalRecordBins(const BinRecordTypes& types, nb::handle binning, nb::handle value);
  std::optional<bool> contains_value(std::size_t i) const;

 private:
  nb::object value_;
};

/// Whether a categorical value counts as missing: None, the text "nan" exactly, or a
/// float NaN.
bool is_missing_category_value(nb::handle value);

/// A bin found by a lookup: the record (None when no bin applies) and the log record that
/// a catch-all hit asks for under the policy.
struct BinHit {
  nb::object bin;
  zelvora::DefaultHitLog log = zelvora::DefaultHitLog::none;
  nb::object value = {};  ///< the bin's value when the lookup has it at hand; else null
};

/// Raises the TypeError of a reached bin missing a part, in Python's wording.
[[noreturn]] void raise_incomplete(const zelvora::IncompleteBin& e);

/// The bin of a numeric value, NaN for missing. Raises TypeError for a reached bin
/// without a needed bound (engine policy).
BinHit find_numerical_bin_record(const BinRecordTypes& types, nb::handle binning, double x,
                                 const zelvora::LookupPolicy& policy);

/// The bin of a categorical value (missing as is_missing_category_value). Raises
/// TypeError for a reached bin without categories (engine policy).
BinHit find_categorical_bin_record(const BinRecordTypes& types, nb::handle binning,
                                   nb::handle value, const zelvora::LookupPolicy& policy);

}  // namespace zelvora::py
