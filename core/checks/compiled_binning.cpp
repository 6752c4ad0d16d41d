// Compile-time checks of the compiled numeric binning: value by value, it gives what the
// lazy search gives, under both policies. (Where the engine throws, the search is not a
// constant expression; the batch's property tests cover those values.)
#include <array>
#include <limits>
#include <optional>

#include "zelvora/bin_lookup.hpp"
#include "zelvora/compiled_binning.hpp"

namespace zelvora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Bin {
  BinRole role = BinRole::ordinary;
  bool numerical = true;
  std::optional<double> lower = std::nullopt, upper = std::nullopt;
};

template <std::size_t N>
struct Bins {
  std::array<Bin, N> bins;
  constexpr std::size_t size() const { return N; }
  constexpr BinRole role(std::size_t i) const { return bins[i].role; }
  constexpr bool is_of_kind(std::size_t i) const { return bins[i].numerical; }
  constexpr std::optional<double> lower_bound(std::size_t i) const { return bins[i].lower; }
  constexpr std::optional<double> upper_bound(std::size_t i) const { return bins[i].upper; }
};

constexpr std::array<double, 15> kProbes{-kInf, -1e300, -10, -0.5,    0,     0.25, 0.5, 0.5000001,
                                         1,     3,      10,  10.0001, 1e300, kInf, kNaN};

template <std::size_t N>
constexpr bool same_everywhere(const Bins<N>& bins, const LookupPolicy& policy) {
  const CompiledNumericBinning compiled = CompiledNumericBinning::compile(bins, policy);
  for (double x : kProbes) {
    if (!(compiled.find(x) == find_numeric_bin(bins, x, policy))) return false;
  }
  return true;
}

// Overlapping, unsorted, reserved-name, other-kind, empty and NaN-edged bins.
constexpr Bins<9> mixed{{
    Bin{.lower = 0.5, .upper = 10},
    Bin{.lower = -kInf, .upper = 0.5},
    Bin{.role = BinRole::null_bin, .lower = -kInf, .upper = kInf},
    Bin{.lower = 0, .upper = 3},
    Bin{.numerical = false, .lower = -kInf, .upper = kInf},
    Bin{.lower = 5, .upper = 5},
    Bin{.lower = kNaN, .upper = 20},
    Bin{.lower = 10, .upper = kInf},
    Bin{.role = BinRole::defined_default},
}};
static_assert(same_everywhere(mixed, kEnginePolicy));
static_assert(same_everywhere(mixed, kMonitoringPolicy));

// Nested, cumulative and open-ended bins: later ones claim only what is left.
constexpr Bins<6> layered{{
    Bin{.lower = -0.5, .upper = 0.5},
    Bin{.lower = -1, .upper = 1},
    Bin{.lower = -kInf, .upper = 3},
    Bin{.lower = -10, .upper = 0.25},
    Bin{.lower = 0.5, .upper = kInf},
    Bin{.lower = -kInf, .upper = kInf},
}};
static_assert(same_everywhere(layered, kEnginePolicy));
static_assert(same_everywhere(layered, kMonitoringPolicy));

// Incomplete bins are skipped by monitoring (the engine throws; not a constant expression).
constexpr Bins<4> incomplete{{Bin{.lower = 0, .upper = 1}, Bin{.lower = 2}, Bin{.upper = 3},
                              Bin{.role = BinRole::default_bin}}};
static_assert(same_everywhere(incomplete, kMonitoringPolicy));

constexpr Bins<2> nothing_but_default{{Bin{.role = BinRole::default_bin}, Bin{}}};
static_assert(same_everywhere(nothing_but_default, kMonitoringPolicy));

}  // namespace
}  // namespace zelvora
