#include "zelvora/bundle_layout.hpp"

#include <doctest/doctest.h>

#include <string_view>

using zelvora::BundleRole;
using zelvora::PathPlacement;
using namespace std::string_view_literals;

TEST_CASE("lexical_placement judges a joined name by its text alone") {
  struct Case {
    std::string_view name;
    PathPlacement placement;
  };
  const Case cases[] = {
      {"a.txt", PathPlacement::inside},
      {"./sub//a", PathPlacement::inside},
      {"a/../b", PathPlacement::inside},
      {"..a", PathPlacement::inside},
      {"a/..b", PathPlacement::inside},
      {"../a", PathPlacement::escapes},
      {"a/../../b", PathPlacement::escapes},
      {"a/../../a/b", PathPlacement::escapes},  // climbing above counts even if it returns
      {"/etc/passwd", PathPlacement::absolute},
      {"//x", PathPlacement::absolute},
      {"", PathPlacement::not_a_file},
      {".", PathPlacement::not_a_file},
      {"a/", PathPlacement::not_a_file},
      {"a/..", PathPlacement::not_a_file},
      {"a/b/..", PathPlacement::not_a_file},
      {"a/.", PathPlacement::not_a_file},
      {"a\0b"sv, PathPlacement::not_a_file},
      {"/a\0"sv, PathPlacement::not_a_file},
  };
  for (const auto& c : cases) {
    CAPTURE(c.name);
    CHECK(zelvora::lexical_placement(c.name) == c.placement);
  }
}

TEST_CASE("bundle members are told apart by case-sensitive suffixes") {
  CHECK(zelvora::archive_member_role("x/extended_model.yaml") == BundleRole::model_document);
  CHECK(zelvora::archive_member_role("old_extended_model.yaml") == BundleRole::model_document);
  CHECK(zelvora::archive_member_role("external_model.json") == BundleRole::external_json);
  CHECK(zelvora::archive_member_role("extended_model.yaml.pmml") == BundleRole::external_pmml);
  CHECK(zelvora::archive_member_role("model.PMML") == BundleRole::image);
  CHECK(zelvora::archive_member_role("other.json") == BundleRole::image);
  CHECK_FALSE(zelvora::is_directory_image_name("notes_json"));
  CHECK_FALSE(zelvora::is_directory_image_name("a.pmml"));
  CHECK(zelvora::is_directory_image_name("model.yml"));
  CHECK(zelvora::is_directory_image_name("plot.png"));
  CHECK(zelvora::zip_image_key("a/b/plot.png") == "plot.png");
  CHECK(zelvora::zip_image_key("plot.png") == "plot.png");
  CHECK(zelvora::zip_image_key("dir/") == "");
}
