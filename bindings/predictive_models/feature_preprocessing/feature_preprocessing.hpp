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

#include <string>
#include <tuple>

#include "common/conversions.hpp"
#include "common/logging.hpp"
#include "common/module_state.hpp"
#include "common/record_bins.hpp"
#include "common/records.hpp"

namespace zelvora::py::preprocessing {

namespace nb = nanobind;

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

extern ModuleState<State> state;

// --- the parts ---------------------------------------------------------------------------

/// Adds a part's fields and operations to the FeaturePreprocessing declaration.
using PartInit = void (*)(nb::module_& m, RecordDecl& preprocessing);

void init_registry(nb::module_& m, RecordDecl& preprocessing);
void init_batches(nb::module_& m, RecordDecl& preprocessing);
void init_frame(nb::module_& m, RecordDecl& preprocessing);
void init_dummy_encoding(nb::module_& m, RecordDecl& preprocessing);

// --- shared helpers ----------------------------------------------------------------------

// str(value) as text bytes (common/conversions.hpp): any str, lone surrogates included.
std::string text_of(nb::handle value);

bool equal(nb::handle a, nb::handle b);

void check_attribute(nb::handle attribute);

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
