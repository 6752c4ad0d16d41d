#include "zelvora/yaml_events.hpp"

#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

using zelvora::YamlEventKind;
using zelvora::YamlReadOutcome;
using zelvora::YamlScalarKind;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The value of "k: <value>", read.
struct Read {
  zelvora::YamlDocument doc;
  const zelvora::YamlEvent& value() const { return doc.events.at(2); }
};

Read read_value(const std::string& value) {
  Read r{zelvora::read_yaml_document("k: " + value)};
  REQUIRE(r.doc.outcome == YamlReadOutcome::read);
  REQUIRE(r.doc.events.size() == 4);
  return r;
}

}  // namespace

TEST_CASE("plain scalars resolve as a YAML 1.2 safe loader resolves them") {
  struct Case {
    const char* value;
    YamlScalarKind kind;
    std::int64_t integer = 0;  // boolean or integer
  };
  const Case cases[] = {
      {"", YamlScalarKind::null},
      {"~", YamlScalarKind::null},
      {"Null", YamlScalarKind::null},
      {"NULL", YamlScalarKind::null},
      {"nULL", YamlScalarKind::text},
      {"True", YamlScalarKind::boolean, 1},
      {"FALSE", YamlScalarKind::boolean, 0},
      {"yes", YamlScalarKind::text},  // a YAML 1.1 boolean only
      {"on", YamlScalarKind::text},
      {"0", YamlScalarKind::integer, 0},
      {"-0", YamlScalarKind::integer, 0},
      {"+12", YamlScalarKind::integer, 12},
      {"1_000", YamlScalarKind::integer, 1000},
      {"017", YamlScalarKind::integer, 17},  // decimal under 1.2, not octal
      {"0o17", YamlScalarKind::integer, 15},
      {"-0b1010", YamlScalarKind::integer, -10},
      {"0x_1F", YamlScalarKind::integer, 31},
      {"0x7fffffffffffffff", YamlScalarKind::integer, std::numeric_limits<std::int64_t>::max()},
      {"-999999999999999999", YamlScalarKind::integer, -999'999'999'999'999'999},
      {"0b", YamlScalarKind::text},
      {"0o8", YamlScalarKind::text},
      {"1__", YamlScalarKind::integer, 1},
      {"2001-12-14", YamlScalarKind::timestamp},
      {"2001-12-14t21:59:43.10-05:00", YamlScalarKind::timestamp},
      {"2001-12-14 21:59:43.10 -5", YamlScalarKind::timestamp},
      {"2001-1-14", YamlScalarKind::text},  // a date alone needs two-digit month and day
      {"2001-12-14T21:59", YamlScalarKind::text},
      {".nan", YamlScalarKind::nan},
      {".NaN", YamlScalarKind::nan},
      {"-.nan", YamlScalarKind::text},
      {"nan", YamlScalarKind::text},
      {"inf", YamlScalarKind::text},
      {".5e3", YamlScalarKind::text},  // the exponent of a leading-point float needs a sign
      {"1.2.3", YamlScalarKind::text},
      {"<<a", YamlScalarKind::text},
  };
  for (const auto& c : cases) {
    CAPTURE(c.value);
    const Read r = read_value(c.value);
    const auto& e = r.value();
    CHECK(e.kind == YamlEventKind::scalar);
    CHECK(e.scalar == c.kind);
    if (c.kind == YamlScalarKind::integer || c.kind == YamlScalarKind::boolean)
      CHECK(e.integer == c.integer);
    if (c.kind == YamlScalarKind::text || c.kind == YamlScalarKind::timestamp)
      CHECK(r.doc.text_of(e) == c.value);
  }
}

TEST_CASE("floats, and numbers past the native range handed over as text") {
  struct Case {
    const char* value;
    double real;
  };
  const Case reals[] = {
      {"1.5", 1.5},        {"-.5", -0.5},  {"1.", 1.0},      {"1e3", 1000.0}, {".5e+3", 500.0},
      {"1_000.5", 1000.5}, {".inf", kInf}, {"-.Inf", -kInf}, {"+.INF", kInf}, {"-0.0", -0.0},
  };
  for (const auto& c : reals) {
    CAPTURE(c.value);
    const Read r = read_value(c.value);
    CHECK(r.value().scalar == YamlScalarKind::real);
    CHECK(r.value().real == c.real);
    CHECK(std::signbit(r.value().real) == std::signbit(c.real));
  }
  struct Big {
    const char* value;
    YamlScalarKind kind;
    const char* text;
    int base = 10;
    bool negative = false;
  };
  const Big bigs[] = {
      {"-1e400", YamlScalarKind::real_text, "1e400", 10, true},
      {"1E400", YamlScalarKind::real_text, "1e400"},
      {"9223372036854775807", YamlScalarKind::big_integer, "9223372036854775807"},
      {"0x1_0000_0000_0000_0000", YamlScalarKind::big_integer, "10000000000000000", 16},
      {"-0o2000000000000000000000", YamlScalarKind::big_integer, "-2000000000000000000000", 8},
  };
  for (const auto& c : bigs) {
    CAPTURE(c.value);
    const Read r = read_value(c.value);
    CHECK(r.value().scalar == c.kind);
    CHECK(r.doc.text_of(r.value()) == c.text);
    if (c.kind == YamlScalarKind::big_integer) CHECK(r.value().base == c.base);
    if (c.kind == YamlScalarKind::real_text) CHECK(r.value().negative == c.negative);
  }
}

TEST_CASE("core tags are constructed; quoting keeps a text") {
  struct Case {
    const char* value;
    YamlScalarKind kind;
    std::int64_t integer = 0;
  };
  const Case cases[] = {
      {"!!int 0x1F", YamlScalarKind::integer, 31}, {"!!bool yes", YamlScalarKind::boolean, 1},
      {"!!bool Off", YamlScalarKind::boolean, 0},  {"!!str 12", YamlScalarKind::text},
      {"!!null x", YamlScalarKind::null},          {"!!float 1", YamlScalarKind::real},
      {"!!binary aGk=", YamlScalarKind::binary},   {"'12'", YamlScalarKind::text},
      {"\"true\"", YamlScalarKind::text},
  };
  for (const auto& c : cases) {
    CAPTURE(c.value);
    const Read r = read_value(c.value);
    CHECK(r.value().scalar == c.kind);
    if (c.kind == YamlScalarKind::integer || c.kind == YamlScalarKind::boolean)
      CHECK(r.value().integer == c.integer);
  }
}

TEST_CASE("the full reader takes what plain resolution cannot answer alike") {
  struct Case {
    const char* text;
    YamlReadOutcome outcome;
  };
  const Case cases[] = {
      {"", YamlReadOutcome::read},
      {"a: &x [1]\nb: *x", YamlReadOutcome::read},
      {"a: 1\n---\nb: 2", YamlReadOutcome::full_reader},
      {"%YAML 1.2\n---\na: 1", YamlReadOutcome::full_reader},
      {"a: &x 1\nb: &x 2", YamlReadOutcome::full_reader},  // a redefined anchor
      {"&a [*a]", YamlReadOutcome::full_reader},           // a list holding itself
      {"a: *nope", YamlReadOutcome::full_reader},          // the loader's undefined alias
      {"? [1]\n: 2", YamlReadOutcome::full_reader},        // a collection key
      {"<<: {a: 1}", YamlReadOutcome::full_reader},        // a merge key
      {"a: =", YamlReadOutcome::full_reader},
      {"a: !foo x", YamlReadOutcome::full_reader},
      {"a: !!int 1.5", YamlReadOutcome::full_reader},
      {"a: !!bool maybe", YamlReadOutcome::full_reader},
      {"a: !!map [1]", YamlReadOutcome::full_reader},
      {"a:\tb", YamlReadOutcome::full_reader},
      {"a: \"x\xc2\x85y\"", YamlReadOutcome::full_reader},  // NEL
      {"[\"a\":b]", YamlReadOutcome::full_reader},
      {"a: [1", YamlReadOutcome::refused},
      {"a: b: c", YamlReadOutcome::refused},
  };
  for (const auto& c : cases) {
    CAPTURE(c.text);
    const auto doc = zelvora::read_yaml_document(c.text);
    CHECK(doc.outcome == c.outcome);
    if (doc.outcome != YamlReadOutcome::read) CHECK(doc.events.empty());
  }
}

TEST_CASE("events carry counts, anchors and places") {
  const auto doc = zelvora::read_yaml_document("- &a [1, [2, 3], {x: y}]\n- *a\n");
  REQUIRE(doc.outcome == YamlReadOutcome::read);
  const auto& ev = doc.events;
  REQUIRE(ev.size() == 14);
  CHECK(ev[0].kind == YamlEventKind::sequence_start);
  CHECK(ev[0].count == 2);
  CHECK(ev[1].count == 3);
  CHECK(ev[1].anchor == 1);
  CHECK(ev[3].count == 2);
  CHECK(ev[7].kind == YamlEventKind::mapping_start);
  CHECK(ev[7].count == 2);
  CHECK(ev[12].kind == YamlEventKind::alias);
  CHECK(ev[12].anchor == 1);
  CHECK(ev[12].line == 1);
  CHECK(ev[12].column == 2);
  CHECK(doc.anchor_count == 1);
  CHECK(doc.collection_count == 4);
}
