// Counting bin indices through a column binning, and the stability index against hand
// computations.
#include "zelvora/monitoring.hpp"

#include <doctest/doctest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "zelvora/array_binning.hpp"

namespace zelvora {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// (-inf, 0], (0, 1], then a null bin; no catch-all.
struct Bins {
  std::size_t size() const { return 3; }
  BinRole role(std::size_t i) const { return i == 2 ? BinRole::null_bin : BinRole::ordinary; }
  bool is_of_kind(std::size_t) const { return true; }
  std::optional<double> lower_bound(std::size_t i) const {
    return i == 0 ? -std::numeric_limits<double>::infinity() : 0.0;
  }
  std::optional<double> upper_bound(std::size_t i) const { return i == 0 ? 0.0 : 1.0; }
};

TEST_CASE("a column binning on index values counts each value's bin") {
  const NumericColumnBinning binning(CompiledNumericBinning::compile(Bins{}, kMonitoringPolicy),
                                     bin_index_values(3));
  const std::vector<double> column{-5, 0.5, 1, 7, kNaN, 0};
  NumberColumn numbers;
  numbers.data = column.data();
  numbers.length = column.size();
  std::vector<double> indices(column.size());
  DefaultHits hits;
  binning.bin(numbers, indices.data(), hits);
  std::vector<std::uint64_t> counts(4);
  count_bin_indices(indices, counts);
  CHECK(counts == std::vector<std::uint64_t>{2, 2, 1, 1});  // 7 falls into no bin
  count_bin_indices(indices, counts);
  CHECK(counts == std::vector<std::uint64_t>{4, 4, 2, 2});
  const std::vector<double> bad{3.0};
  CHECK_THROWS_AS(count_bin_indices(bad, counts), std::out_of_range);
  const std::vector<double> fraction{0.5};
  CHECK_THROWS_AS(count_bin_indices(fraction, counts), std::out_of_range);
}

TEST_CASE("population stability index") {
  using V = std::vector<double>;
  CHECK(population_stability_index(V{}, V{}) == 0.0);
  CHECK(population_stability_index(V{2, 3, 5}, V{20, 30, 50}) == doctest::Approx(0.0));
  CHECK(population_stability_index(V{1, 1}, V{1, 3}) == doctest::Approx(0.2746530721670274));
  // Zero shares count as 0.0001, on either side; a side summing to 0 has only zero shares.
  CHECK(population_stability_index(V{1, 0}, V{1, 1}) == doctest::Approx(4.60431846666895));
  CHECK(population_stability_index(V{0.2, 0.3, 0.5}, V{0, 0, 0}) ==
        doctest::Approx(8.17827491158975));
  CHECK_THROWS_AS(population_stability_index(V{1}, V{1, 2}), std::invalid_argument);
  CHECK_THROWS_AS(population_stability_index(V{-1, 2}, V{1, 2}), std::invalid_argument);
  CHECK_THROWS_AS(population_stability_index(V{1, kNaN}, V{1, 2}), std::invalid_argument);
}

}  // namespace
}  // namespace zelvora
