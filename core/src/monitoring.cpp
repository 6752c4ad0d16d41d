#include "zelvora/monitoring.hpp"

#include <cmath>
#include <stdexcept>

namespace zelvora {

namespace {

// Shares summing to 1, floored; the weights are checked first.
std::vector<double> floored_shares(std::span<const double> weights) {
  double total = 0;
  for (const double w : weights) {
    if (!std::isfinite(w) || w < 0)
      throw std::invalid_argument("weights must be finite and not negative");
    total += w;
  }
  std::vector<double> shares;
  shares.reserve(weights.size());
  for (const double w : weights) {
    const double share = total > 0 ? w / total : 0.0;
    shares.push_back(share > 0 ? share : kStabilityShareFloor);
  }
  return shares;
}

}  // namespace

std::vector<double> bin_index_values(std::size_t bins) {
  std::vector<double> values(bins);
  for (std::size_t i = 0; i < bins; ++i) values[i] = static_cast<double>(i);
  return values;
}

void count_bin_indices(std::span<const double> indices, std::span<std::uint64_t> counts) {
  if (counts.empty()) throw std::out_of_range("no count for values in no bin");
  const std::size_t none = counts.size() - 1;
  const double bins = static_cast<double>(none);
  for (const double x : indices) {
    if (x != x) {
      ++counts[none];
    } else if (x >= 0 && x < bins && x == std::floor(x)) {
      ++counts[static_cast<std::size_t>(x)];
    } else {
      throw std::out_of_range("a result that is no bin index");
    }
  }
}

double population_stability_index(std::span<const double> expected,
                                  std::span<const double> actual) {
  if (expected.size() != actual.size())
    throw std::invalid_argument("expected and actual differ in length");
  const std::vector<double> e = floored_shares(expected), a = floored_shares(actual);
  double index = 0;
  for (std::size_t i = 0; i < e.size(); ++i) index += (a[i] - e[i]) * std::log(a[i] / e[i]);
  return index;
}

}  // namespace zelvora
