#include "zelvora/metric_text.hpp"

#include <doctest/doctest.h>

TEST_CASE("metric texts: the lift at any depth, literals up to 4096 characters") {
  CHECK(zelvora::names_lift("LIFT("));
  CHECK(zelvora::names_lift("LIFT(5%) TRAILING"));
  for (const char* other : {"LIFT", "LIFT 10", "LIFT (10)", "(LIFT(", "lift(", ""})
    CHECK_FALSE(zelvora::names_lift(other));
  CHECK(zelvora::reads_metric_literal(0));
  CHECK(zelvora::reads_metric_literal(4096));
  CHECK_FALSE(zelvora::reads_metric_literal(4097));
}
