// The three stages of finding the bin of a value in a binning.
//
// A binning is an ordered list of bins. A lookup goes, in this order of precedence:
//   1. missing values to the first null bin;
//   2. present values to the first ordinary bin of the operation's kind that covers them;
//   3. whatever is left to the first catch-all bin, which asks for a log record.
// Bins are read lazily through a source, so that a bin after the chosen one is never
// read (a malformed bin only fails when the search reaches it).
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "zelvora/bin_names.hpp"

namespace zelvora {

/// The log record that a catch-all hit asks for.
enum class DefaultHitLog { none, warning, debug };

/// Outcome of a lookup: the index of the chosen bin (none when no bin applies) and the
/// log record to write.
struct BinChoice {
  std::optional<std::size_t> bin;
  DefaultHitLog log = DefaultHitLog::none;
};

/// A comparison between a bound and a value that has no order (a missing bound).
class UnorderableBound : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// Read access to the bins of one binning, by index.
template <class S>
concept BinSource = requires(const S& s, std::size_t i) {
  { s.size() } -> std::convertible_to<std::size_t>;
  { s.role(i) } -> std::same_as<BinRole>;
  { s.is_of_kind(i) } -> std::convertible_to<bool>;  // the operation's own bin kind
};

/// Numerical bins: bounds of the interval (lower, upper], missing as nullopt.
template <class S>
concept NumericBinSource = BinSource<S> && requires(const S& s, std::size_t i) {
  { s.lower_bound(i) } -> std::same_as<std::optional<double>>;
  { s.upper_bound(i) } -> std::same_as<std::optional<double>>;
};

/// Categorical bins: whether the bin's categories hold the value looked up.
template <class S>
concept CategoricBinSource = BinSource<S> && requires(const S& s, std::size_t i) {
  { s.contains_value(i) } -> std::convertible_to<bool>;
};

/// Message of a default hit, for an attribute and the value's text.
std::string default_hit_message(std::string_view attribute, std::string_view value_text);

/// Stage 1: the first null bin.
template <BinSource S>
std::optional<std::size_t> find_null_bin(const S& bins) {
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins.role(i) == BinRole::null_bin) return i;
  }
  return std::nullopt;
}

/// Stage 3: the first catch-all bin, whichever of the three default names it has.
template <BinSource S>
BinChoice find_default_bin(const S& bins) {
  for (std::size_t i = 0; i < bins.size(); ++i) {
    switch (bins.role(i)) {
      case BinRole::default_bin:
        return {i, DefaultHitLog::warning};
      case BinRole::defined_default:
        return {i, DefaultHitLog::debug};
      default:
        break;
    }
  }
  return {};
}

/// Whether lower < x <= upper. The upper bound is only read once the lower test has
/// passed; a missing bound that must be compared throws UnorderableBound.
template <NumericBinSource S>
bool interval_covers(const S& bins, std::size_t i, double x) {
  const std::optional<double> lower = bins.lower_bound(i);
  if (!lower)
    throw UnorderableBound("'<' not supported between instances of 'NoneType' and 'float'");
  if (!(*lower < x)) return false;
  const std::optional<double> upper = bins.upper_bound(i);
  if (!upper)
    throw UnorderableBound("'<=' not supported between instances of 'float' and 'NoneType'");
  return x <= *upper;
}

/// The bin of a numeric value; NaN stands for a missing value.
template <NumericBinSource S>
BinChoice find_numeric_bin(const S& bins, double x) {
  if (x != x) {
    if (auto null_bin = find_null_bin(bins)) return {null_bin};
    return find_default_bin(bins);
  }
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins.role(i) == BinRole::ordinary && bins.is_of_kind(i) && interval_covers(bins, i, x)) {
      return {i};
    }
  }
  return find_default_bin(bins);
}

/// The bin of a categorical value; `missing` for null and the text "nan".
template <CategoricBinSource S>
BinChoice find_categoric_bin(const S& bins, bool missing) {
  if (missing) {
    if (auto null_bin = find_null_bin(bins)) return {null_bin};
    return find_default_bin(bins);
  }
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins.role(i) == BinRole::ordinary && bins.is_of_kind(i) && bins.contains_value(i)) {
      return {i};
    }
  }
  return find_default_bin(bins);
}

/// Whether a categorical value counts as missing: the text "nan", exactly.
inline bool is_missing_category(std::string_view value) {
  return value == "nan";
}

}  // namespace zelvora
