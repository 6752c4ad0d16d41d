// Compile-time checks of the two lookup policies: the build fails when a policy's search
// gives another bin. Bins are plain values here; the bindings read them from records.
#include <array>
#include <limits>
#include <optional>

#include "zelvora/bin_lookup.hpp"

namespace zelvora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Bin {
  BinRole role = BinRole::ordinary;
  bool numerical = true;
  std::optional<double> lower = std::nullopt, upper = std::nullopt;
  // categories: a bitmask of category codes 0..31; nullopt for none given
  std::optional<unsigned> categories = std::nullopt;
};

template <std::size_t N>
struct Bins {
  std::array<Bin, N> bins;
  bool numerical = true;  // the operation's kind
  unsigned value = 0;     // the category code looked up

  constexpr std::size_t size() const { return N; }
  constexpr BinRole role(std::size_t i) const { return bins[i].role; }
  constexpr bool is_of_kind(std::size_t i) const { return bins[i].numerical == numerical; }
  constexpr std::optional<double> lower_bound(std::size_t i) const { return bins[i].lower; }
  constexpr std::optional<double> upper_bound(std::size_t i) const { return bins[i].upper; }
  constexpr std::optional<bool> contains_value(std::size_t i) const {
    if (!bins[i].categories) return std::nullopt;
    return ((*bins[i].categories >> value) & 1u) != 0;
  }
};

constexpr Bin interval(double lower, double upper) {
  return {.lower = lower, .upper = upper};
}
constexpr Bin named(BinRole role, std::optional<double> lower = {},
                    std::optional<double> upper = {}) {
  return {.role = role, .lower = lower, .upper = upper};
}

constexpr BinChoice hit(std::size_t i, DefaultHitLog log = DefaultHitLog::none) {
  return {i, log};
}

// (-inf; 0.5], (0.5; 10], (10; inf], "1_null", "0_default".
constexpr Bins<5> numeric{{interval(-kInf, 0.5), interval(0.5, 10), interval(10, kInf),
                           named(BinRole::null_bin), named(BinRole::default_bin)}};

static_assert(find_numeric_bin(numeric, 0.5) == hit(0));
static_assert(find_numeric_bin(numeric, 10) == hit(1));
static_assert(find_numeric_bin(numeric, kInf, kMonitoringPolicy) == hit(2));
static_assert(find_numeric_bin(numeric, kNaN) == hit(3));
// Negative infinity: no lower bound below it; the catch-all, logged by the engine only.
static_assert(find_numeric_bin(numeric, -kInf) == hit(4, DefaultHitLog::warning));
static_assert(find_numeric_bin(numeric, -kInf, kMonitoringPolicy) == hit(4));

// A reserved-name bin that covers the value: set aside by the engine, matched by monitoring.
constexpr Bins<3> reserved_covering{
    {named(BinRole::defined_default, 0, 5), named(BinRole::null_bin, 0, 5), interval(0, 5)}};
static_assert(find_numeric_bin(reserved_covering, 1) == hit(2));
static_assert(find_numeric_bin(reserved_covering, 1, kMonitoringPolicy) == hit(0));

// A bin without an upper bound: an error for the engine once reached, skipped by monitoring.
constexpr Bins<3> open_upper{
    {named(BinRole::ordinary, 0.0, std::nullopt), interval(0, 5), named(BinRole::defined_default)}};
static_assert(find_numeric_bin(open_upper, 1, kMonitoringPolicy) == hit(1));
static_assert(find_numeric_bin(open_upper, -1) == hit(2, DefaultHitLog::debug));  // not reached
static_assert(find_numeric_bin(open_upper, 99, kMonitoringPolicy) == hit(2));

// Categorical: {A,B} (codes 0,1), {C} (2), no categories, "1_null", "0_defined_default".
template <unsigned Code>
constexpr Bins<5> categoric{
    {Bin{.numerical = false, .categories = 0b011u}, Bin{.numerical = false, .categories = 0b100u},
     Bin{.numerical = false}, Bin{.role = BinRole::null_bin, .numerical = false},
     Bin{.role = BinRole::defined_default, .numerical = false}},
    false,
    Code};
static_assert(find_categoric_bin(categoric<2>, false) == hit(1));
static_assert(find_categoric_bin(categoric<1>, false, kMonitoringPolicy) == hit(0));
static_assert(find_categoric_bin(categoric<9>, false, kMonitoringPolicy) == hit(4));
static_assert(find_categoric_bin(categoric<9>, true) == hit(3));

// A default-named bin of the other kind still catches, in either policy.
constexpr Bins<2> other_kind_default{
    {interval(0, 1), Bin{.role = BinRole::default_bin, .numerical = false}}};
static_assert(find_numeric_bin(other_kind_default, 5) == hit(1, DefaultHitLog::warning));
static_assert(find_numeric_bin(other_kind_default, 5, kMonitoringPolicy) == hit(1));

}  // namespace
}  // namespace zelvora
