#include "zelvora/yaml_structure.hpp"

#include <doctest/doctest.h>

#include <string>

#include "zelvora/yaml_events.hpp"

namespace {

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::string nested(std::size_t depth, const std::string& inner = "") {
  return repeat("[", depth) + inner + repeat("]", depth);
}

std::string breach_message(const std::string& text) {
  try {
    (void)zelvora::read_yaml_document(text);
  } catch (const zelvora::YamlStructureError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST_CASE("nesting: 100 levels pass, the 101st is named with its place") {
  CHECK(breach_message(nested(100)) == "");
  CHECK(breach_message(nested(101)) ==
        "YAML document nests deeper than 100 levels (line 1, column 101)");
  CHECK(breach_message("a:\n  b:\n    " + nested(99)) ==
        "YAML document nests deeper than 100 levels (line 3, column 103)");
}

TEST_CASE("nesting counts the depth an alias expands to") {
  // The anchored list is 60 levels high; an alias d levels deep reaches d + 60.
  const std::string anchored = "[&a " + nested(60) + ", ";
  CHECK(breach_message(anchored + nested(39, "*a") + "]") == "");
  CHECK(breach_message(anchored + nested(40, "*a") + "]") ==
        "YAML document nests deeper than 100 levels (line 1, column 167)");
  // An alias to a collection still open (a cycle) is one node deep.
  CHECK(breach_message("&a [" + nested(98, "*a") + "]") == "");
}

TEST_CASE("aliases: a linear budget passes, nested expansion breaches it") {
  // Ten aliases per level of a 10-item list: the fifth level expands past 100,000 nodes.
  std::string laughs = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
  for (const char* level : {"b", "c", "d", "e"}) {
    const std::string prev(1, static_cast<char>(level[0] - 1));
    laughs += std::string(level) + ": &" + level + " [" + repeat("*" + prev + ", ", 9) + "*" +
              prev + "]\n";
  }
  CHECK(breach_message(laughs) ==
        "YAML aliases expand to more than 100000 nodes (line 5, column 36)");
  // Many aliases to small nodes stay within the text's own size.
  CHECK(breach_message("a: &s x\nb: [" + repeat("*s, ", 5000) + "*s]") == "");
}

TEST_CASE("the budget driven directly: anchors belong to their document") {
  zelvora::YamlStructureBudget budget;
  budget.document_start();
  budget.collection_start("deep", {});
  for (int i = 0; i < 60; ++i) budget.collection_start(std::nullopt, {});
  for (int i = 0; i < 61; ++i) budget.collection_end();
  for (int i = 0; i < 50; ++i) budget.collection_start(std::nullopt, {});
  CHECK_THROWS_WITH_AS(budget.alias("deep", {4, 7}),
                       "YAML document nests deeper than 100 levels (line 5, column 8)",
                       zelvora::YamlStructureError);
  budget.document_start();
  for (int i = 0; i < 50; ++i) budget.collection_start(std::nullopt, {});
  CHECK_NOTHROW(budget.alias("deep", {}));  // unknown in this document: one node
}
