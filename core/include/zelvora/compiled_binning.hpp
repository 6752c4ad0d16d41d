// Binnings compiled for looking up many values at once.
//
// A compiled binning answers exactly what the bin-by-bin lookup of bin_lookup.hpp
// answers for every value: the null bin for missing values, the first ordinary bin in
// list order that covers a present value, then the first catch-all bin. It is built
// once from an outline of every bin and then searched per value:
//
//   - numerical: the finite bounds, with -inf and +inf, cut the line into elementary
//     segments (each edge itself and the open gaps between edges). An interval bin
//     covers a segment wholly or not at all, so each segment stores the choice of the
//     first bin in list order that covers it, and a value is a binary search away
//     from its choice;
//   - categorical: a hash of category texts to the first ordinary bin holding each.
//
// A bin whose test cannot be decided from its outline (a missing or unreadable bound
// or category list) is a barrier: every value whose search reaches it is answered
// `undecided`, and the caller runs the bin-by-bin lookup for that value, which raises
// or answers exactly as it always does. Values stopped by an earlier bin never see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zelvora/bin_lookup.hpp"
#include "zelvora/bin_names.hpp"

namespace zelvora {

/// How a compiled lookup ends for one value.
enum class Resolution : std::uint8_t {
  bin,        ///< the bin at `bin` (ordinary, null or catch-all)
  no_bin,     ///< no bin applies: no value, nothing logged
  undecided,  ///< a barrier bin was reached: use the bin-by-bin lookup
};

struct CompiledChoice {
  Resolution resolution = Resolution::no_bin;
  DefaultHitLog log = DefaultHitLog::none;  ///< the record a catch-all hit asks for
  std::uint32_t bin = 0;                    ///< index in the binning's list of bins
};

/// A numerical binning's bin as the compiler reads it. The bounds only matter for
/// ordinary bins of the operation's kind; nullopt marks a bound that is missing or
/// could not be read as a number.
struct NumericBinOutline {
  BinRole role = BinRole::ordinary;
  bool of_kind = true;
  std::optional<double> lower, upper;
};

/// A categorical binning's bin as the compiler reads it; nullopt categories are missing
/// or hold something other than plain texts.
struct CategoricBinOutline {
  BinRole role = BinRole::ordinary;
  bool of_kind = true;
  std::optional<std::vector<std::string>> categories;
};

class CompiledNumericBinning {
 public:
  explicit CompiledNumericBinning(std::span<const NumericBinOutline> bins);

  /// The choice for `x`; NaN stands for a missing value.
  CompiledChoice find(double x) const noexcept {
    if (x != x) return missing_;
    // Branchless count of the edges below x: the values are rarely sorted, so a
    // predicted branch would miss half of the time.
    const double* edges = edges_.data();
    std::size_t base = 0, n = edges_.size();
    while (n > 1) {
      const std::size_t half = n / 2;
      base = edges[base + half] < x ? base + half : base;
      n -= half;
    }
    const std::size_t below = base + (edges[base] < x);
    // edges_ starts at -inf and ends at +inf, so `below` is an edge index; segment 2k
    // is the edge k itself, segment 2k-1 the gap before it.
    const std::size_t segment = 2 * below - (edges[below] == x ? 0 : 1);
    return segments_[segment];
  }

 private:
  std::vector<double> edges_;
  std::vector<CompiledChoice> segments_;
  CompiledChoice missing_;
};

class CompiledCategoricBinning {
 public:
  explicit CompiledCategoricBinning(std::span<const CategoricBinOutline> bins);

  /// The choice for a missing value (null).
  CompiledChoice missing() const noexcept { return missing_; }

  /// The choice for a category text; the text "nan" counts as missing.
  CompiledChoice find(std::string_view text) const {
    if (is_missing_category(text)) return missing_;
    if (auto found = first_bin_.find(text); found != first_bin_.end()) return found->second;
    return unmatched_;
  }

 private:
  std::vector<std::string> texts_;  // owns the keys of first_bin_
  std::unordered_map<std::string_view, CompiledChoice> first_bin_;
  CompiledChoice missing_, unmatched_;
};

}  // namespace zelvora
