// A binning read once, for looking up many values of one attribute.
//
// compile() reads every bin of a source (role, kind, bounds or categories) once; find()
// then answers each value without touching the source, and gives, value by value, the
// very BinChoice that find_numeric_bin / find_categoric_bin (zelvora/bin_lookup.hpp) give
// under the same policy, including where they throw IncompleteBin: a bin that lacks a
// needed part still fails only for a value that would reach it.
//
// Numeric: each bin taking part in the interval test becomes an entry (lower, upper] in
// list order; a bin without a lower bound becomes an entry that fails for every value, one
// without an upper bound an entry that fails above its lower bound (engine policy), or no
// entry (monitoring policy). The distinct finite and infinite edges, sorted, cut the line
// into pieces on which every entry either holds or not; each piece keeps the first entry
// in list order that holds on it. find() is a binary search over the edges.
//
// Categorical: a hash from category to the first bin in list order holding it, and the
// first bin without categories (which fails every value not found before it, under the
// engine policy). Categories are the caller's exact bytes for exact texts (see text_bytes
// in the bindings: lossless for any str), or the caller's own keys (a table of its own);
// a bin holding anything but plain texts cannot be compiled, and the caller looks such a
// binning up value by value.
//
// Reading the source in compile() may fail (a binding reading records); a batch should
// then fall back to the single-value lookup, which reads bins lazily, so that its errors
// stay those of the single-value operation. Log records, one per catch-all hit, are
// written by the caller from each BinChoice, in input order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zelvora/bin_lookup.hpp"

namespace zelvora {

/// What a piece of the line, or a category, resolves to.
struct CompiledOutcome {
  enum class Kind { fallback, bin, incomplete } kind = Kind::fallback;
  std::size_t index = 0;                // the bin, for Kind::bin
  BinPart part = BinPart::lower_bound;  // the missing part, for Kind::incomplete
};

/// The numeric lookup of one binning, compiled.
class CompiledNumericBinning {
 public:
  template <NumericBinSource S>
  static constexpr CompiledNumericBinning compile(const S& bins,
                                                  const LookupPolicy& policy = kEnginePolicy);

  /// The bin of x (NaN: missing); throws IncompleteBin where the single lookup would.
  constexpr BinChoice find(double x) const {
    if (x != x) return null_choice_;
    return resolve(pieces_[edges_below(x)]);
  }

  // find() in two steps, for a batch that resolves each piece once: the piece of a
  // present x, and what a piece gives.
  constexpr std::size_t pieces() const { return pieces_.size(); }
  constexpr std::size_t piece_of(double x) const { return edges_below(x); }
  constexpr BinChoice piece_choice(std::size_t k) const { return resolve(pieces_[k]); }
  constexpr const BinChoice& null_choice() const { return null_choice_; }

 private:
  struct Entry {
    double lower, upper;  // (lower, upper]; every value when `all`
    CompiledOutcome outcome;
    bool all = false;
  };
  // The number of edges below x, by a branchless binary search: batches rarely come
  // sorted, and a predicted branch would miss half of the time.
  constexpr std::size_t edges_below(double x) const {
    std::size_t n = edges_.size(), base = 0;
    if (n == 0) return 0;
    while (n > 1) {
      const std::size_t half = n / 2;
      base = edges_[base + half - 1] < x ? base + half : base;
      n -= half;
    }
    return base + (edges_[base] < x ? 1 : 0);
  }
  constexpr BinChoice resolve(const CompiledOutcome& o) const {
    switch (o.kind) {
      case CompiledOutcome::Kind::bin:
        return {o.index};
      case CompiledOutcome::Kind::incomplete:
        throw IncompleteBin(o.part);
      case CompiledOutcome::Kind::fallback:
        break;
    }
    return fallback_;
  }

  std::vector<double> edges_;            // sorted, distinct
  std::vector<CompiledOutcome> pieces_;  // piece k: (edges_[k-1], edges_[k]]; first and
                                         // last open to -inf (included) and +inf
  BinChoice null_choice_, fallback_;
};

template <NumericBinSource S>
constexpr CompiledNumericBinning CompiledNumericBinning::compile(const S& bins,
                                                                 const LookupPolicy& policy) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  CompiledNumericBinning c;
  c.fallback_ = find_default_bin(bins, policy);
  const std::optional<std::size_t> null_bin = find_null_bin(bins);
  c.null_choice_ = null_bin ? BinChoice{null_bin} : c.fallback_;

  std::vector<Entry> entries;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (!may_match(bins, i, policy)) continue;
    const std::optional<double> lower = bins.lower_bound(i);
    if (!lower) {
      if (policy.skip_incomplete_bins) continue;
      // Fails for every present value that reaches it; nothing after it is reached.
      entries.push_back(
          {-inf, inf, {CompiledOutcome::Kind::incomplete, i, BinPart::lower_bound}, true});
      break;
    }
    const std::optional<double> upper = bins.upper_bound(i);
    if (*lower != *lower) continue;  // lower < x never holds
    if (!upper) {
      if (policy.skip_incomplete_bins) continue;
      entries.push_back(
          {*lower, inf, {CompiledOutcome::Kind::incomplete, i, BinPart::upper_bound}});
      continue;
    }
    if (*upper != *upper || !(*lower < *upper)) continue;  // holds for no value
    entries.push_back({*lower, *upper, {CompiledOutcome::Kind::bin, i, {}}});
  }

  for (const Entry& e : entries) {
    c.edges_.push_back(e.lower);
    c.edges_.push_back(e.upper);
  }
  std::sort(c.edges_.begin(), c.edges_.end());
  c.edges_.erase(std::unique(c.edges_.begin(), c.edges_.end()), c.edges_.end());

  // Piece 0 lies at or below the lowest edge and piece edges_.size() above the highest:
  // no entry holds there. Piece k (0 < k < edges_.size()) is (edges_[k-1], edges_[k]].
  c.pieces_.assign(c.edges_.size() + 1, CompiledOutcome{});
  // next[k]: the first unclaimed piece at or after k (next[pieces] is past the end). Each
  // entry only visits the pieces it claims, so nested or open-ended entries cost
  // O(n log n) in all instead of one walk over their whole range each.
  std::vector<std::size_t> next(c.pieces_.size() + 1);
  for (std::size_t k = 0; k < next.size(); ++k) next[k] = k;
  const auto unclaimed_from = [&next](std::size_t k) {
    std::size_t root = k;
    while (next[root] != root) root = next[root];
    while (next[k] != root) k = std::exchange(next[k], root);
    return root;
  };
  for (const Entry& e : entries) {  // list order: the first entry holding on a piece wins
    const auto first =
        e.all ? c.edges_.begin() : std::upper_bound(c.edges_.begin(), c.edges_.end(), e.lower);
    const auto last =
        e.all ? c.edges_.end() : std::lower_bound(c.edges_.begin(), c.edges_.end(), e.upper);
    const auto end = static_cast<std::size_t>(last - c.edges_.begin()) + 1;
    for (std::size_t k = unclaimed_from(static_cast<std::size_t>(first - c.edges_.begin()));
         k < end; k = unclaimed_from(k + 1)) {
      c.pieces_[k] = e.outcome;
      next[k] = k + 1;
    }
  }
  return c;
}

/// Categorical bins as the compiler reads them: each bin's categories as keys of a table.
template <class S, class Key>
concept CategoricKeySource = BinSource<S> && requires(const S& s, std::size_t i) {
  /// The bin's categories, nullopt when it has none. Called once per bin, in list order.
  { s.category_texts(i) } -> std::same_as<std::optional<std::vector<Key>>>;
};

/// A table from category to the first bin holding it, keyed by category texts and looked
/// up by string_view, without building a string per value.
class TextTable {
 public:
  using key_type = std::string;
  /// Keeps the bin already held for `text`.
  void insert_first(std::string&& text, std::size_t bin) { map_.try_emplace(std::move(text), bin); }
  std::optional<std::size_t> find(std::string_view text) const {
    const auto it = map_.find(text);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> map_;
};

/// The categorical lookup of one binning, compiled. `Table` is TextTable or a table of the
/// caller's own keys with the same members (a binding keys it by its language's strings,
/// whose hashes it keeps): `key_type`, `insert_first(key_type&&, bin)` keeping the bin
/// already held, `find(probe) -> std::optional<std::size_t>`.
template <class Table = TextTable>
class BasicCompiledCategoricBinning {
 public:
  template <CategoricKeySource<typename Table::key_type> S>
  static BasicCompiledCategoricBinning compile(const S& bins,
                                               const LookupPolicy& policy = kEnginePolicy);

  /// The bin of a present text; throws IncompleteBin where the single lookup would.
  template <class Probe>
  BinChoice find(const Probe& text) const {
    // Every category in the table comes before the first incomplete bin.
    if (const std::optional<std::size_t> bin = table_.find(text)) return {*bin};
    if (first_incomplete_) throw IncompleteBin(BinPart::categories);
    return fallback_;
  }
  /// The bin of a missing value (null, "nan").
  BinChoice find_missing() const { return null_choice_; }

 private:
  Table table_;
  std::optional<std::size_t> first_incomplete_;
  BinChoice null_choice_, fallback_;
};

using CompiledCategoricBinning = BasicCompiledCategoricBinning<>;

template <class Table>
template <CategoricKeySource<typename Table::key_type> S>
BasicCompiledCategoricBinning<Table> BasicCompiledCategoricBinning<Table>::compile(
    const S& bins, const LookupPolicy& policy) {
  BasicCompiledCategoricBinning c;
  c.fallback_ = find_default_bin(bins, policy);
  const std::optional<std::size_t> null_bin = find_null_bin(bins);
  c.null_choice_ = null_bin ? BinChoice{null_bin} : c.fallback_;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (!may_match(bins, i, policy)) continue;
    std::optional<std::vector<typename Table::key_type>> keys = bins.category_texts(i);
    if (!keys) {
      if (policy.skip_incomplete_bins) continue;
      c.first_incomplete_ = i;  // nothing after it is reached
      break;
    }
    for (auto& key : *keys) c.table_.insert_first(std::move(key), i);
  }
  return c;
}

}  // namespace zelvora
