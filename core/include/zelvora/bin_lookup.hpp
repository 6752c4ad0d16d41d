// The three stages of finding the bin of a value in a binning.
//
// A binning is an ordered list of bins. A lookup goes, in this order of precedence:
//   1. missing values to the first null bin;
//   2. present values to the first bin of the operation's kind that covers them;
//   3. whatever is left to the first catch-all bin.
// Bins are read lazily through a source, so that a bin after the chosen one is never
// read (a malformed bin only fails when the search reaches it).
//
// One search serves two callers, told apart by a LookupPolicy: the binning engine
// (stage 2 sets reserved-name bins aside, a bin without bounds or categories is an
// error, a catch-all hit asks for a log record) and the monitoring lookup (reserved-name
// bins are tested like any other, incomplete bins are skipped, nothing is logged).
// The search returns the index of the bin; whether the caller hands back the bin or its
// value is the caller's affair.
//
// Errors are typed (IncompleteBin) and carry no host wording: the binding words them.
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
  friend constexpr bool operator==(const BinChoice&, const BinChoice&) = default;
};

/// How a search treats reserved names, incomplete bins and catch-all hits.
struct LookupPolicy {
  /// Bins with a reserved name take part in the interval and category tests.
  bool reserved_names_match = false;
  /// A bin without a bound (or without categories) never matches; otherwise reaching
  /// it throws IncompleteBin.
  bool skip_incomplete_bins = false;
  /// A catch-all hit asks for a log record (warning or debug, by the bin's name).
  bool log_default_hits = true;
};

/// The binning engine: the value of a bin, catch-all hits logged.
inline constexpr LookupPolicy kEnginePolicy{};
/// The monitoring lookup: the bin itself, every name tested, nothing logged.
inline constexpr LookupPolicy kMonitoringPolicy{
    .reserved_names_match = true, .skip_incomplete_bins = true, .log_default_hits = false};

/// The part of a bin that a test needed and found missing.
enum class BinPart { lower_bound, upper_bound, categories };

/// A bin reached by the search lacks a part that its test needs.
class IncompleteBin : public std::invalid_argument {
 public:
  explicit IncompleteBin(BinPart part)
      : std::invalid_argument("bin reached without a needed part"), part_(part) {}
  BinPart part() const noexcept { return part_; }

 private:
  BinPart part_;
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

/// Categorical bins: whether the bin's categories hold the value looked up; nullopt when
/// the bin has no categories.
template <class S>
concept CategoricBinSource = BinSource<S> && requires(const S& s, std::size_t i) {
  { s.contains_value(i) } -> std::same_as<std::optional<bool>>;
};

/// Message of a default hit, for an attribute and the value's text.
std::string default_hit_message(std::string_view attribute, std::string_view value_text);

/// Message of a TypeError for a reached bin missing `part`: Python's own wording of the
/// comparison (or membership test) that the missing part makes fail.
std::string_view incomplete_bin_message(BinPart part);

/// Stage 1: the first null bin.
template <BinSource S>
constexpr std::optional<std::size_t> find_null_bin(const S& bins) {
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (bins.role(i) == BinRole::null_bin) return i;
  }
  return std::nullopt;
}

/// Stage 3: the first catch-all bin, whichever of the three default names it has.
template <BinSource S>
constexpr BinChoice find_default_bin(const S& bins, const LookupPolicy& policy = kEnginePolicy) {
  for (std::size_t i = 0; i < bins.size(); ++i) {
    switch (bins.role(i)) {
      case BinRole::default_bin:
        return {i, policy.log_default_hits ? DefaultHitLog::warning : DefaultHitLog::none};
      case BinRole::defined_default:
        return {i, policy.log_default_hits ? DefaultHitLog::debug : DefaultHitLog::none};
      default:
        break;
    }
  }
  return {};
}

/// Whether bin i takes part in stage 2 before its own test: of the operation's kind and,
/// unless the policy says otherwise, not a reserved-name bin.
template <BinSource S>
constexpr bool may_match(const S& bins, std::size_t i, const LookupPolicy& policy) {
  return (policy.reserved_names_match || bins.role(i) == BinRole::ordinary) && bins.is_of_kind(i);
}

/// Whether lower < x <= upper. The upper bound is only read once the lower test has
/// passed. A missing bound that must be compared throws IncompleteBin, or fails the test
/// when the policy skips incomplete bins.
template <NumericBinSource S>
constexpr bool interval_covers(const S& bins, std::size_t i, double x,
                               const LookupPolicy& policy = kEnginePolicy) {
  const std::optional<double> lower = bins.lower_bound(i);
  if (!lower) {
    if (policy.skip_incomplete_bins) return false;
    throw IncompleteBin(BinPart::lower_bound);
  }
  if (!(*lower < x)) return false;
  const std::optional<double> upper = bins.upper_bound(i);
  if (!upper) {
    if (policy.skip_incomplete_bins) return false;
    throw IncompleteBin(BinPart::upper_bound);
  }
  return x <= *upper;
}

/// Whether bin i's categories hold the value; missing categories as for bounds.
template <CategoricBinSource S>
constexpr bool categories_hold(const S& bins, std::size_t i, const LookupPolicy& policy) {
  const std::optional<bool> found = bins.contains_value(i);
  if (!found) {
    if (policy.skip_incomplete_bins) return false;
    throw IncompleteBin(BinPart::categories);
  }
  return *found;
}

/// The bin of a numeric value; NaN stands for a missing value.
template <NumericBinSource S>
constexpr BinChoice find_numeric_bin(const S& bins, double x,
                                     const LookupPolicy& policy = kEnginePolicy) {
  if (x != x) {
    if (auto null_bin = find_null_bin(bins)) return {null_bin};
    return find_default_bin(bins, policy);
  }
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (may_match(bins, i, policy) && interval_covers(bins, i, x, policy)) return {i};
  }
  return find_default_bin(bins, policy);
}

/// The bin of a categorical value; `missing` as the caller decides (null, "nan").
template <CategoricBinSource S>
constexpr BinChoice find_categoric_bin(const S& bins, bool missing,
                                       const LookupPolicy& policy = kEnginePolicy) {
  if (missing) {
    if (auto null_bin = find_null_bin(bins)) return {null_bin};
    return find_default_bin(bins, policy);
  }
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (may_match(bins, i, policy) && categories_hold(bins, i, policy)) return {i};
  }
  return find_default_bin(bins, policy);
}

/// Whether a category text counts as missing: the text "nan", exactly.
constexpr bool is_missing_category(std::string_view value) {
  return value == "nan";
}

}  // namespace zelvora
