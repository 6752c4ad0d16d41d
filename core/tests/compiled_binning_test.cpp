// The compiled lookups against the lazy search on random binnings, value by value,
// including the values where the engine throws (which static_assert checks cannot reach).
#include "zelvora/compiled_binning.hpp"

#include <doctest/doctest.h>

#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "zelvora/bin_lookup.hpp"

namespace zelvora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Bin {
  BinRole role = BinRole::ordinary;
  bool of_kind = true;
  std::optional<double> lower, upper;
  std::optional<std::vector<std::string>> categories;
};

struct Bins {
  std::vector<Bin> bins;
  const std::string* value = nullptr;  // the text the lazy categoric search looks up
  std::size_t size() const { return bins.size(); }
  BinRole role(std::size_t i) const { return bins[i].role; }
  bool is_of_kind(std::size_t i) const { return bins[i].of_kind; }
  std::optional<double> lower_bound(std::size_t i) const { return bins[i].lower; }
  std::optional<double> upper_bound(std::size_t i) const { return bins[i].upper; }
  std::optional<std::vector<std::string>> category_texts(std::size_t i) const {
    return bins[i].categories;
  }
  std::optional<bool> contains_value(std::size_t i) const {
    if (!bins[i].categories) return std::nullopt;
    for (const std::string& c : *bins[i].categories)
      if (c == *value) return true;
    return false;
  }
};

// A choice, or the part whose absence threw.
using Outcome = std::variant<BinChoice, BinPart>;

template <class F>
Outcome outcome_of(F&& lookup) {
  try {
    return lookup();
  } catch (const IncompleteBin& e) {
    return e.part();
  }
}

Bins random_bins(std::mt19937& rng) {
  const double edges[] = {-kInf, -1, 0, 0.5, 1, 2, kInf, kNaN};
  const char* texts[] = {"a", "b", "c", ""};
  const BinRole roles[] = {BinRole::null_bin, BinRole::default_bin, BinRole::defined_default};
  auto chance = [&rng](int percent) { return static_cast<int>(rng() % 100) < percent; };
  Bins b;
  b.bins.resize(1 + rng() % 8);
  for (Bin& bin : b.bins) {
    if (chance(25)) bin.role = roles[rng() % 3];
    bin.of_kind = chance(90);
    if (chance(90)) bin.lower = edges[rng() % 8];
    if (chance(90)) bin.upper = edges[rng() % 8];
    if (chance(90)) {
      bin.categories.emplace();
      for (std::size_t n = rng() % 3; n > 0; --n) bin.categories->push_back(texts[rng() % 4]);
    }
  }
  return b;
}

// A table of the caller's own: ordered, holding copies of the probes' texts.
class OrderedTable {
 public:
  using key_type = std::string;
  void insert_first(std::string&& text, std::size_t bin) { map_.try_emplace(text, bin); }
  std::optional<std::size_t> find(const std::string& text) const {
    const auto it = map_.find(text);
    return it == map_.end() ? std::nullopt : std::optional<std::size_t>(it->second);
  }

 private:
  std::map<std::string, std::size_t> map_;
};

}  // namespace

TEST_CASE("compiled lookups answer as the lazy search, throws included") {
  const double probes[] = {-kInf, -2, -1, -0.5, 0, 0.25, 0.5, 0.75, 1, 1.5, 2, 3, kInf, kNaN};
  const std::string texts[] = {"a", "b", "c", "", "d"};
  std::mt19937 rng(20261209);
  int throwing = 0;
  for (int round = 0; round < 3000; ++round) {
    Bins bins = random_bins(rng);
    for (const LookupPolicy& policy : {kEnginePolicy, kMonitoringPolicy}) {
      CAPTURE(round);
      const auto numeric = CompiledNumericBinning::compile(bins, policy);
      for (double x : probes) {
        CAPTURE(x);
        const Outcome expected = outcome_of([&] { return find_numeric_bin(bins, x, policy); });
        CHECK(outcome_of([&] { return numeric.find(x); }) == expected);
        throwing += std::holds_alternative<BinPart>(expected);
      }
      const auto categoric = CompiledCategoricBinning::compile(bins, policy);
      const auto ordered = BasicCompiledCategoricBinning<OrderedTable>::compile(bins, policy);
      for (const std::string& text : texts) {
        CAPTURE(text);
        bins.value = &text;
        const Outcome expected =
            outcome_of([&] { return find_categoric_bin(bins, false, policy); });
        CHECK(outcome_of([&] { return categoric.find(text); }) == expected);
        CHECK(outcome_of([&] { return ordered.find(text); }) == expected);
      }
      CHECK(categoric.find_missing() == find_categoric_bin(bins, true, policy));
      CHECK(ordered.find_missing() == categoric.find_missing());
    }
  }
  CHECK(throwing > 1000);  // the random binnings do reach incomplete bins
}

TEST_CASE("an incomplete bin is worded as the comparison its missing part fails") {
  CHECK(incomplete_bin_message(BinPart::lower_bound) ==
        "'<' not supported between instances of 'NoneType' and 'float'");
  CHECK(incomplete_bin_message(BinPart::upper_bound) ==
        "'<=' not supported between instances of 'float' and 'NoneType'");
  CHECK(incomplete_bin_message(BinPart::categories) ==
        "argument of type 'NoneType' is not iterable");
}

}  // namespace zelvora
