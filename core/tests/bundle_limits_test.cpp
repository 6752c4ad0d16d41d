#include "zelvora/bundle_limits.hpp"

#include <doctest/doctest.h>

#include <climits>
#include <optional>

using zelvora::BudgetExceeded;
using zelvora::ExpansionBudget;

TEST_CASE("the budget refuses declared sizes past what is left, out-of-range ones included") {
  ExpansionBudget budget(10);
  budget.spend(4);
  CHECK_NOTHROW(budget.check_declared(6));
  CHECK_THROWS_AS(budget.check_declared(7), BudgetExceeded);
  CHECK_THROWS_AS(budget.check_declared(std::nullopt), BudgetExceeded);
  CHECK_NOTHROW(ExpansionBudget(LLONG_MAX).check_declared(LLONG_MAX));
}

TEST_CASE("reads ask for one byte past the budget, and spending past it charges nothing") {
  ExpansionBudget budget(10);
  CHECK(budget.next_read(4) == 4);
  CHECK(budget.next_read(100) == 11);
  budget.spend(10);
  CHECK(budget.next_read(100) == 1);
  try {
    budget.spend(1);
    FAIL("spent past the budget");
  } catch (const BudgetExceeded& e) {
    CHECK(e.limit() == 10);
  }
  CHECK_NOTHROW(budget.spend(0));
  CHECK(ExpansionBudget(LLONG_MAX).next_read(zelvora::kReadChunk) == zelvora::kReadChunk);
}

TEST_CASE("refusals name the member and the bound") {
  CHECK(zelvora::expansion_refusal("'a.png'", 3) ==
        "bundle member 'a.png' expands past max_size (3 bytes); pass a larger max_size to load "
        "it");
  CHECK(zelvora::extended_header_refusal("512", "99999999999999999999") ==
        "tar extended header at offset 512 declares 99999999999999999999 bytes, more than the "
        "1048576 a bundle allows");
  CHECK(zelvora::extended_header_fits(zelvora::kMaxExtendedHeader));
  CHECK_FALSE(zelvora::extended_header_fits(zelvora::kMaxExtendedHeader + 1));
  CHECK_FALSE(zelvora::extended_header_fits(std::nullopt));
}
