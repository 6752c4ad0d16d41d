#include "zelvora/yaml_writer.hpp"

#include <doctest/doctest.h>

#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using zelvora::yaml::Node;

namespace {

Node text(std::u32string v) {
  return {Node::Kind::text, std::move(v), {}};
}
Node plain(std::u32string v) {
  return {Node::Kind::plain, std::move(v), {}};
}
Node seq(std::vector<Node> items) {
  return {Node::Kind::sequence, {}, std::move(items)};
}
Node map(std::vector<Node> keys_and_values) {
  return {Node::Kind::mapping, {}, std::move(keys_and_values)};
}

std::string write_value(std::u32string value) {
  return zelvora::yaml::write_documents({map({text(U"k"), text(std::move(value))})});
}

std::u32string repeat(const std::u32string& s, int n) {
  std::u32string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

}  // namespace

// Expected texts are ruamel.yaml's output under the package's writer settings.
TEST_CASE("texts are quoted as the round-trip emitter and YAML 1.1 readers need") {
  struct Case {
    std::u32string value;
    const char* written;
  };
  const Case cases[] = {
      {U"plain words", "k: plain words\n"},
      {U"it's", "k: it's\n"},
      {U"\u00e9\U0001F600", "k: \xc3\xa9\xf0\x9f\x98\x80\n"},
      {U"yes", "k: 'yes'\n"},  // booleans to YAML 1.1 only
      {U"n", "k: 'n'\n"},
      {U"1:20", "k: '1:20'\n"},  // sexagesimal to YAML 1.1
      {U"017", "k: '017'\n"},
      {U"1e5", "k: '1e5'\n"},
      {U"2024-01-31", "k: '2024-01-31'\n"},
      {U"<<", "k: '<<'\n"},
      {U"=", "k: '='\n"},
      {U"~", "k: '~'\n"},
      {U"", "k: ''\n"},
      {U"a: b", "k: 'a: b'\n"},
      {U"#x", "k: '#x'\n"},
      {U"x #y", "k: 'x #y'\n"},
      {U"- x", "k: '- x'\n"},
      {U"---", "k: '---'\n"},
      {U" a", "k: ' a'\n"},
      {U"a ", "k: 'a '\n"},
      {U"\"x\"", "k: '\"x\"'\n"},
      {U"a\nb", "k: \"a\\nb\"\n"},
      {U"a\tb", "k: \"a\\tb\"\n"},
      {U"a\u0085b", "k: \"a\\Nb\"\n"},
      {U"a\u2028b", "k: \"a\\Lb\"\n"},
      {U"\ufeffx", "k: \"\\uFEFFx\"\n"},
      {std::u32string(1, U'\0'), "k: \"\\0\"\n"},
  };
  for (const auto& c : cases) {
    CAPTURE(c.written);
    CHECK(write_value(c.value) == c.written);
  }
}

TEST_CASE("long texts fold at width 120, single-quoted unless they hold a quote") {
  std::string xs;
  for (int i = 0; i < 58; ++i) xs += "x ";
  CHECK(write_value(repeat(U"x ", 70)) == "k: '" + xs + "x\n  x x x x x x x x x x x '\n");
  std::string quotes;
  for (int i = 0; i < 24; ++i) quotes += "it's ";
  quotes.pop_back();
  CHECK(write_value(repeat(U"it's ", 30)) ==
        "k: \"" + quotes + "\n  it's it's it's it's it's it's \"\n");
}

TEST_CASE("documents: block style, flow for empty collections, stream markers") {
  const std::vector<Node> docs = {
      plain(U"1"),
      plain(U"-0.0"),
      seq({}),
      map({}),
      seq({seq({plain(U"1"), plain(U"2")})}),
      map({text(U"a"), seq({plain(U"1"), map({text(U"b"), seq({})})})}),
      map({text(U"No"), text(U"No")}),
  };
  CHECK(zelvora::yaml::write_documents(docs) ==
        "1\n--- -0.0\n--- []\n--- {}\n---\n- - 1\n  - 2\n---\na:\n- 1\n- b: []\n---\n'No': 'No'\n");
  CHECK(zelvora::yaml::write_documents({text(U"a"), text(U"b")}) == "a\n--- b\n...\n");
  CHECK(zelvora::yaml::write_documents({text(U"a"), text(U"b")}, false, false) == "--- a\n--- b\n");
  CHECK(zelvora::yaml::write_documents({}) == "");
}

TEST_CASE("float_text and the resolvers of both YAML versions") {
  CHECK(zelvora::yaml::float_text(1e17) == "1.0e+17");
  CHECK(zelvora::yaml::float_text(-1e-5) == "-1.0e-05");
  CHECK(zelvora::yaml::float_text(1.5e300) == "1.5e+300");
  CHECK(zelvora::yaml::float_text(-0.0) == "-0.0");
  CHECK(zelvora::yaml::float_text(std::numeric_limits<double>::quiet_NaN()) == ".nan");
  CHECK(zelvora::yaml::float_text(-std::numeric_limits<double>::infinity()) == "-.inf");

  struct Case {
    std::u32string text;
    bool yaml11, yaml12;
  };
  const Case cases[] = {
      {U"yes", true, false},     {U"n", true, false},     {U"1:20", true, false},
      {U"0o17", false, true},    {U"017", true, true},    {U"1e+17", true, true},
      {U"<<", true, true},       {U"=", true, true},      {U"", true, true},
      {U"NuLL", false, false},   {U"it's", false, false}, {U"2024-01-31", true, true},
      {U"\uff11", false, false},  // a full-width digit
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    CAPTURE(i);
    CHECK(zelvora::yaml::resolves_to_other_kind(c.text, 11) == c.yaml11);
    CHECK(zelvora::yaml::resolves_to_other_kind(c.text, 12) == c.yaml12);
  }
}

TEST_CASE("the package's YAML 1.1 quoting and exponent rules") {
  using zelvora::yaml::Yaml11Quoting;
  struct Case {
    std::u32string text;
    Yaml11Quoting quoting;
  };
  const Case cases[] = {
      {U"plain", Yaml11Quoting::none},
      {U"", Yaml11Quoting::none},
      {U"Off", Yaml11Quoting::single},
      {U"offs", Yaml11Quoting::none},
      {U"NULL", Yaml11Quoting::single},
      {U"-1_000", Yaml11Quoting::single},
      {U"0o17", Yaml11Quoting::none},
      {U"\u00e9", Yaml11Quoting::none},
      {U"a\u2028b", Yaml11Quoting::double_quoted},
      {U"yes\u0085", Yaml11Quoting::double_quoted},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    CAPTURE(i);
    CHECK(zelvora::yaml::yaml11_quoting(cases[i].text) == cases[i].quoting);
  }
  CHECK(zelvora::yaml::point_before_exponent("1e+17") == "1.0e+17");
  CHECK(zelvora::yaml::point_before_exponent("1.5e-07") == "1.5e-07");
  CHECK(zelvora::yaml::point_before_exponent("12.0") == "12.0");
  for (const double x : {1e16, -1e16, 9.9e-5, 5e-324}) CHECK(zelvora::yaml::has_exponent_form(x));
  for (const double x : {0.0, 1e-4, 9.9e15, std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()})
    CHECK_FALSE(zelvora::yaml::has_exponent_form(x));
}
