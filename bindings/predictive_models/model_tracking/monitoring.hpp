// PredictiveModelTracking's monitoring of whole columns: bin counts, their stability
// index against the development frequencies, and counts of partitions added up.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "common/classes.hpp"
#include "common/record_bins.hpp"

namespace zelvora::py {

namespace nb = nanobind;

/// The lookup that get_feature_binning applies; none when no binning or no known dtype.
enum class TrackingLookup { none, numerical, categorical };

struct ChosenBinning {
  nb::object binning;  ///< the last binning of the attribute; null when there is none
  TrackingLookup lookup = TrackingLookup::none;
};

/// The binning and lookup that get_feature_binning uses for a value of `attribute`.
ChosenBinning choose_binning(nb::handle self, nb::handle attribute, nb::handle attribute_dtype);

/// The bin classes and field names of the module.
const BinRecordTypes& tracking_bin_types();

/// The record's monitoring operations.
std::vector<MethodDecl> monitoring_methods();

/// Sets up the operations' state in module `m`.
void init_monitoring(nb::module_& m);

}  // namespace zelvora::py
