// A FeatureBinning's bins read once into a compiled lookup (zelvora/compiled_binning.hpp),
// for batches of values: the compiled search, the value record of every bin and the
// attribute text of log messages.
//
// Compiling fails (nullopt) where the compiled search cannot answer as the single-value
// lookup does: a field that cannot be read, or categories holding anything but plain
// texts. The batch then looks every value up through the single-value operation.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "common/record_bins.hpp"
#include "zelvora/compiled_binning.hpp"

namespace zelvora::py {

template <class Compiled>
struct CompiledBins {
  Compiled compiled;
  std::vector<nb::object> values;  ///< each bin's `value`
  std::string attribute;           ///< text bytes of the binning's attribute
};

std::optional<CompiledBins<zelvora::CompiledNumericBinning>> compile_numeric_bins(
    const BinRecordTypes& types, nb::handle binning,
    const zelvora::LookupPolicy& policy = zelvora::kEnginePolicy);

std::optional<CompiledBins<zelvora::CompiledCategoricBinning>> compile_categoric_bins(
    const BinRecordTypes& types, nb::handle binning,
    const zelvora::LookupPolicy& policy = zelvora::kEnginePolicy);

}  // namespace zelvora::py
