#include "zelvora/preprocessing_messages.hpp"

#include <doctest/doctest.h>

#include <string>

TEST_CASE("the builder's messages name the attribute first") {
  // "é" and a lone surrogate as the bindings pass them: kept byte for byte.
  const std::string odd = "\xc3\xa9\xed\xb2\x80";
  CHECK(zelvora::binning_error_prefix(odd) == "Binning attribute " + odd + ": ");
  CHECK(zelvora::edges_must_increase("b", "40", "25") ==
        "Binning attribute b: edges must increase: 40 then 25");
  CHECK(zelvora::too_few_bin_entries("b", "bin_vals", 2) ==
        "Binning attribute b: bin_vals has fewer values than the 2 bins");
  CHECK(zelvora::unknown_specification_key("age", "'bin_values'") ==
        "Binning attribute age: unknown key 'bin_values' is ignored");
  CHECK(zelvora::binning_error_prefix("") == "Binning attribute : ");
}

TEST_CASE("only the keys the builder reads are known, matched exactly") {
  for (std::string_view key : zelvora::kSpecificationKeys)
    CHECK(zelvora::is_specification_key(key));
  for (const char* key : {"bin_values", "Bins", "dtype ", "", "id"})
    CHECK_FALSE(zelvora::is_specification_key(key));
}

TEST_CASE("dummy encoding messages") {
  CHECK(zelvora::no_dummy_encoding("size") == "No dummy encoding for size was found.");
  const std::string undefined =
      "Dummy encoding for value 'teal' of attribute 'color' is not defined";
  CHECK(zelvora::undefined_dummy_value("teal", "color", "other") ==
        undefined + ". Default value 'other' was assigned with 1.");
  CHECK(zelvora::undefined_dummy_value("teal", "color", std::nullopt) ==
        undefined +
            " and no default value was assigned. All dummies for given attribute are assigned "
            "with 0.");
  // An empty name is still a name the caller chose.
  CHECK(zelvora::undefined_dummy_value("teal", "color", "") ==
        undefined + ". Default value '' was assigned with 1.");
  CHECK(zelvora::dummy_named_as_attribute("color") ==
        "Features created by dummy encoding in predictive model cannot be named the same as "
        "feature that is being encoded. This rule is broken for feature 'color'");
}
