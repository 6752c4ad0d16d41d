// Production values against a model's development bins: how many values fell into each
// bin, and the population stability index of those counts.
//
// Counting reuses the column binnings (zelvora/array_binning.hpp): built on the values of
// bin_index_values(), a column binning yields each value's bin index instead of its bin's
// value, and count_bin_indices() tallies them. Nothing is allocated per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelvora {

/// Bin values standing for the bins themselves: bin i's value is i, so that a column
/// binning built on them yields each value's bin index, NaN where no bin applies.
std::vector<double> bin_index_values(std::size_t bins);

/// Adds index results (as above) to `counts`, which holds one count per bin and a last one
/// for NaN (no bin). Throws std::out_of_range for a result that is neither.
void count_bin_indices(std::span<const double> indices, std::span<std::uint64_t> counts);

/// A share of 0 on either side counts as this much, so that the logarithm stays finite.
inline constexpr double kStabilityShareFloor = 0.0001;

/// The population stability index of actual counts against expected frequencies, bin by
/// bin: each side normalised to sum 1 (a side summing to 0 has every share 0), a share of
/// 0 counted as kStabilityShareFloor, then sum of (actual - expected) * ln(actual /
/// expected). Throws std::invalid_argument for sides of different lengths or a weight that
/// is negative or not finite. No bins: 0.
double population_stability_index(std::span<const double> expected, std::span<const double> actual);

}  // namespace zelvora
