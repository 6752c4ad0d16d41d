#include "zelvora/formula.hpp"

#include <doctest/doctest.h>

#include <limits>
#include <optional>

using zelvora::FormulaTerm;
using zelvora::linear_formula;

TEST_CASE("linear_formula: signs, four decimals, terms without coefficient") {
  CHECK(linear_formula(std::nullopt, {}) == "0.0000");
  CHECK(linear_formula(-0.0, {{-0.0, "x"}}) == "0.0000 + 0.0000 * x");
  CHECK(linear_formula(1.23456, {{-2.5, "a"}, {std::nullopt, "log(b)"}, {0.00005, "c"}}) ==
        "1.2346 - 2.5000 * a + log(b) + 0.0001 * c");
  CHECK(linear_formula(std::numeric_limits<double>::quiet_NaN(), {{1e20, "x"}}) ==
        "nan + 100000000000000000000.0000 * x");
}
