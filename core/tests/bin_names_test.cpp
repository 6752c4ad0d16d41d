#include "zelvora/bin_names.hpp"

#include <doctest/doctest.h>

#include <string>

using zelvora::BinRole;

TEST_CASE("bin_role: only the exact reserved names are special") {
  struct Case {
    const char* name;
    BinRole role;
  };
  const Case cases[] = {
      {"1_null", BinRole::null_bin},
      {"0_default", BinRole::default_bin},
      {"0_system_default", BinRole::default_bin},
      {"0_defined_default", BinRole::defined_default},
      {"1_NULL", BinRole::ordinary},
      {"0_default ", BinRole::ordinary},
      {"0_defined_default_", BinRole::ordinary},
      {"null", BinRole::ordinary},
      {"", BinRole::ordinary},
  };
  for (const auto& c : cases) {
    CAPTURE(c.name);
    CHECK(zelvora::bin_role(c.name) == c.role);
  }
}

TEST_CASE("categorical names keep 50 code points, else 47 and an ellipsis") {
  const std::string fifty(50, 'a');
  CHECK(zelvora::categorical_bin_name("3", fifty) == "3_{" + fifty + "}");
  CHECK(zelvora::categorical_bin_name("3", fifty + "b") == "3_{" + std::string(47, 'a') + "...}");
  // Counted in code points, never cutting one: "é" is two bytes, "€" three.
  std::string accented;
  for (int i = 0; i < 50; ++i) accented += "\xc3\xa9";
  CHECK(zelvora::shorten_categories_text(accented) == accented);
  std::string euros;
  for (int i = 0; i < 51; ++i) euros += "\xe2\x82\xac";
  CHECK(zelvora::shorten_categories_text(euros) == euros.substr(0, 47 * 3) + "...");
  CHECK(zelvora::shorten_categories_text("") == "");
}

TEST_CASE("names join their parts without spaces") {
  CHECK(zelvora::join_categories({"a", "b c", ""}) == "a,b c,");
  CHECK(zelvora::join_categories({}) == "");
  CHECK(zelvora::numerical_bin_name("2", "-inf", "0.500") == "2_(-inf;0.500)");
}
