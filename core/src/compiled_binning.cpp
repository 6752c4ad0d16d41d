#include "zelvora/compiled_binning.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace zelvora {
namespace {

// The outlines as a BinSource, for the null and catch-all stages of bin_lookup.hpp.
template <class Outline>
struct OutlineSource {
  std::span<const Outline> bins;
  std::size_t size() const { return bins.size(); }
  BinRole role(std::size_t i) const { return bins[i].role; }
  bool is_of_kind(std::size_t i) const { return bins[i].of_kind; }
};

CompiledChoice bin_choice(std::size_t bin, DefaultHitLog log = DefaultHitLog::none) {
  return {Resolution::bin, log, static_cast<std::uint32_t>(bin)};
}

CompiledChoice undecided_at(std::size_t bin) {
  return {Resolution::undecided, DefaultHitLog::none, static_cast<std::uint32_t>(bin)};
}

template <class Outline>
CompiledChoice catch_all(std::span<const Outline> bins) {
  const BinChoice choice = find_default_bin(OutlineSource<Outline>{bins});
  if (!choice.bin) return {};
  return bin_choice(*choice.bin, choice.log);
}

template <class Outline>
CompiledChoice missing_choice(std::span<const Outline> bins) {
  if (auto null_bin = find_null_bin(OutlineSource<Outline>{bins})) return bin_choice(*null_bin);
  return catch_all(bins);
}

bool is_ordinary(const auto& outline) {
  return outline.role == BinRole::ordinary && outline.of_kind;
}

// Segments given a choice, each once: the first bin to claim a segment keeps it. `next`
// skips claimed segments (a union-find of the unclaimed ones), so compiling stays
// near-linear however many bins overlap.
class SegmentClaims {
 public:
  explicit SegmentClaims(std::size_t count)
      : choices_(count), claimed_(count, false), next_(count + 1) {
    for (std::size_t s = 0; s <= count; ++s) next_[s] = s;
  }

  /// Claims the unclaimed segments of [first, last] for `choice`.
  void claim(std::size_t first, std::size_t last, CompiledChoice choice) {
    if (first > last || first >= choices_.size()) return;
    last = std::min(last, choices_.size() - 1);
    for (std::size_t s = unclaimed_from(first); s <= last; s = unclaimed_from(s + 1)) {
      choices_[s] = choice;
      claimed_[s] = true;
      next_[s] = s + 1;
    }
  }

  /// The choices, with `rest` for the segments nobody claimed.
  std::vector<CompiledChoice> finish(CompiledChoice rest) && {
    for (std::size_t s = 0; s < choices_.size(); ++s) {
      if (!claimed_[s]) choices_[s] = rest;
    }
    return std::move(choices_);
  }

 private:
  std::size_t unclaimed_from(std::size_t s) {
    std::size_t root = s;
    while (next_[root] != root) root = next_[root];
    while (next_[s] != root) s = std::exchange(next_[s], root);
    return root;
  }

  std::vector<CompiledChoice> choices_;
  std::vector<bool> claimed_;
  std::vector<std::size_t> next_;  // next_[count] is the end sentinel
};

}  // namespace

CompiledNumericBinning::CompiledNumericBinning(std::span<const NumericBinOutline> bins)
    : missing_(missing_choice(bins)) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  edges_ = {-inf, inf};
  for (const NumericBinOutline& b : bins) {
    if (!is_ordinary(b)) continue;
    for (const std::optional<double>& bound : {b.lower, b.upper}) {
      if (bound && !std::isnan(*bound)) edges_.push_back(*bound);
    }
  }
  std::sort(edges_.begin(), edges_.end());
  edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());

  // Segment of a bound value that is one of the edges.
  auto edge_segment = [this](double bound) {
    const auto at = std::lower_bound(edges_.begin(), edges_.end(), bound);
    return 2 * static_cast<std::size_t>(at - edges_.begin());
  };
  const std::size_t segment_count = 2 * edges_.size() - 1;
  SegmentClaims claims(segment_count);
  for (std::size_t i = 0; i < bins.size(); ++i) {
    const NumericBinOutline& b = bins[i];
    if (!is_ordinary(b)) continue;
    // The bin-by-bin test is `lower < x` (a missing lower bound fails for every value),
    // then `x <= upper` (a missing upper bound fails for every value above lower). A
    // NaN bound compares false, so such a bin never matches and never fails.
    if (!b.lower) {
      claims.claim(0, segment_count - 1, undecided_at(i));
      break;
    }
    if (std::isnan(*b.lower)) continue;
    const std::size_t first = edge_segment(*b.lower) + 1;
    if (!b.upper) {
      claims.claim(first, segment_count - 1, undecided_at(i));
      continue;
    }
    if (std::isnan(*b.upper)) continue;
    const std::size_t last = edge_segment(*b.upper);
    if (first <= last) claims.claim(first, last, bin_choice(i));
  }
  segments_ = std::move(claims).finish(catch_all(bins));
}

CompiledCategoricBinning::CompiledCategoricBinning(std::span<const CategoricBinOutline> bins)
    : missing_(missing_choice(bins)), unmatched_(catch_all(bins)) {
  // Bins before the first barrier; values none of them holds reach the barrier.
  std::size_t end = bins.size(), text_count = 0;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (!is_ordinary(bins[i])) continue;
    if (!bins[i].categories) {
      end = i;
      unmatched_ = undecided_at(i);
      break;
    }
    text_count += bins[i].categories->size();
  }
  // Keys view texts_, so it is filled completely before the first key is taken.
  texts_.reserve(text_count);
  std::vector<std::uint32_t> owner;
  owner.reserve(text_count);
  for (std::size_t i = 0; i < end; ++i) {
    if (!is_ordinary(bins[i])) continue;
    for (const std::string& text : *bins[i].categories) {
      texts_.push_back(text);
      owner.push_back(static_cast<std::uint32_t>(i));
    }
  }
  first_bin_.reserve(texts_.size());
  for (std::size_t k = 0; k < texts_.size(); ++k) {
    // The missing text never reaches the ordinary bins.
    if (is_missing_category(texts_[k])) continue;
    first_bin_.try_emplace(texts_[k], bin_choice(owner[k]));
  }
}

}  // namespace zelvora
