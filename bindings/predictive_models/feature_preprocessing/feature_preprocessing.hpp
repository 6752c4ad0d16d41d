// The parts of the feature_preprocessing module: what they share.
//
// Each part is one source file with an init function that declares what the part owns
// (its own records) and adds its fields and operations to the FeaturePreprocessing record
// before the module declares it:
//
//   void init_batches(nb::module_& m, RecordDecl& preprocessing) {
//     preprocessing.methods.push_back(method("apply_feature_binning_batch", ...));
//   }
//
// The module's init (feature_preprocessing.cpp) runs them in the order of its table, which
// is the order of the record's fields and operations.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/logging.hpp"
#include "common/module_state.hpp"
#include "common/per_record.hpp"
#include "common/record_bins.hpp"
#include "common/records.hpp"

namespace zelvora::py::preprocessing {

namespace nb = nanobind;

/// The first binning of each attribute in a registry's binning list, read once and kept
/// while the list and its binnings' attributes stay the same (registry.cpp).
struct BinningIndex {
  nb::object weakref, list, items;     // the list, and its items when read
  std::vector<nb::object> attributes;  // each binning's attribute then
  nb::dict first;                      // attribute -> its first binning
  std::uint64_t changes = 0;           // record_changes() when read

  int traverse(visitproc visit, void* arg) const;
};

struct State {
  Held<nb::object> feature_binning, feature_transformation;
  Held<BinRecordTypes> bins;                // the bin classes and field names, for batches
  Held<nb::object> numerical, categorical;  // AttributeDataType members
  Held<Logger> logger;                      // this module's
  Held<Logger> binning_logger;              // the binning engine's, for batch catch-all hits
  Held<nb::str> attribute{"attribute"}, attribute_data_type{"attribute_data_type"},
      binning{"binning"}, transformations{"transformations"},
      transformed_attribute_name{"transformed_attribute_name"}, transformation{"transformation"},
      binned_attribute_name{"binned_attribute_name"}, dummy_encoding{"dummy_encoding"},
      encoding{"encoding"}, encoded_feature_name{"encoded_feature_name"},
      use_for_undefined{"use_for_undefined"}, value{"value"},
      bin_numeric_attribute{"bin_numeric_attribute"},
      bin_categoric_attribute{"bin_categoric_attribute"};
  Held<PerRecord<BinningIndex>> binning_index;  // per registry
};

extern ModuleState<State> state;

// --- the parts ---------------------------------------------------------------------------

/// Adds a part's fields and operations to the FeaturePreprocessing declaration.
using PartInit = void (*)(nb::module_& m, RecordDecl& preprocessing);

void init_registry(nb::module_& m, RecordDecl& preprocessing);
void init_batches(nb::module_& m, RecordDecl& preprocessing);
void init_frame(nb::module_& m, RecordDecl& preprocessing);
void init_dummy_encoding(nb::module_& m, RecordDecl& preprocessing);

// --- shared helpers ----------------------------------------------------------------------

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
nb::object first_where(nb::handle records, nb::handle field, nb::handle key);

/// The first binning of `attribute` in the registry `self`, or None.
nb::object get_feature_binning(nb::handle self, nb::handle attribute);

/// "Binning attribute <attribute>: ", the prefix of every error raised while building or
/// applying a binning, and of the builder's warnings.
std::string binning_error_prefix(nb::handle attribute);

enum class Lookup { numeric, categoric, none };

/// The lookup a binning's data type selects.
Lookup lookup_of(nb::handle binning);

}  // namespace zelvora::py::preprocessing
