// FeatureBinning.bin_array, added to the record class by the feature_binning module.
#pragma once

#include <nanobind/nanobind.h>

#include "common/record_bins.hpp"

namespace zelvora::py {

/// Sets up the operation's state in module `m` and adds it to `feature_binning`.
void add_bin_array(nb::module_& m, nb::handle feature_binning, const BinRecordTypes& bins,
                   nb::handle attribute_data_type, const char* logger_name);

}  // namespace zelvora::py
