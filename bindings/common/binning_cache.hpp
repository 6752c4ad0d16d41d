// Compiled binnings kept per FeatureBinning record, so that a single-value lookup costs a
// hash lookup, a validity check and a search in the compiled form (zelvora/
// compiled_binning.hpp) instead of reading every bin.
//
//   BinningCache compiled;  // in the module's state
//   std::optional<BinHit> hit = compiled.numeric(types, binning, x);
//   if (!hit) hit = find_numerical_bin_record(types, binning, x, zelvora::kEnginePolicy);
//
// A compiled binning is used only while what it was compiled from is unchanged:
//  - the binning's `feature_binning` is the same list, of the same length, holding the
//    same bins, and every bin has the same __dict__ (checked on every call);
//  - every categorical bin's categories list holds the same items (every call: a list
//    changes in place without any assignment);
//  - no record had an attribute assigned or deleted since (record_changes.hpp); when one
//    had, every field the compiled form was read from is compared by identity again,
//    and only a difference compiles anew.
// A binning the compiled form cannot describe (a bin without an instance dict, a bound
// that is not a float or an int, categories other than a list of exact str, a text value
// of a str subclass) gets no answer here: the caller runs the lazy lookup, which gives
// that binning's results and errors exactly. An entry lives as long as its binning (a
// weak reference drops it).
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "common/per_record.hpp"
#include "common/record_bins.hpp"

namespace zelvora::py {

class BinningCache {
 public:
  BinningCache();
  BinningCache(const BinningCache&) = delete;
  BinningCache& operator=(const BinningCache&) = delete;
  ~BinningCache();

  /// The engine's lookup of a numeric value (NaN: missing); nullopt: use the lazy lookup.
  /// Raises the TypeError of a reached incomplete bin.
  std::optional<BinHit> numeric(const BinRecordTypes& types, nb::handle binning, double x);
  /// The engine's lookup of a category (None or an exact str; anything else: nullopt).
  std::optional<BinHit> categoric(const BinRecordTypes& types, nb::handle binning,
                                  nb::handle value);

  int traverse(visitproc visit, void* arg) const;

  struct Entry;

 private:
  Entry* current(const BinRecordTypes& types, nb::handle binning);

  PerRecord<Entry> entries_;
};

}  // namespace zelvora::py
