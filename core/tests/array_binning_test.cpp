// Column binning against the compiled single lookups, value by value, over buffers and
// hand-built Arrow arrays; malformed Arrow structs are refused, not read.
#include "zelvora/array_binning.hpp"

#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace zelvora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Bin {
  BinRole role = BinRole::ordinary;
  std::optional<double> lower, upper;
  std::optional<std::vector<std::string>> categories;
};

struct Bins {
  std::vector<Bin> bins;
  std::size_t size() const { return bins.size(); }
  BinRole role(std::size_t i) const { return bins[i].role; }
  bool is_of_kind(std::size_t) const { return true; }
  std::optional<double> lower_bound(std::size_t i) const { return bins[i].lower; }
  std::optional<double> upper_bound(std::size_t i) const { return bins[i].upper; }
  std::optional<std::vector<std::string>> category_texts(std::size_t i) const {
    return bins[i].categories;
  }
};

// Bins (-inf,0] (0,1] (1,2] [incomplete when `incomplete`], null, catch-all; values 10+i.
Bins sample(bool incomplete = false) {
  Bins b;
  b.bins.push_back({BinRole::ordinary, -kInf, 0, std::vector<std::string>{"a"}});
  b.bins.push_back({BinRole::ordinary, 0, 1, std::vector<std::string>{"b", "c"}});
  if (incomplete) {
    b.bins.push_back({BinRole::ordinary, 1, std::nullopt, std::nullopt});
  } else {
    b.bins.push_back({BinRole::ordinary, 1, 2, std::vector<std::string>{"d"}});
  }
  b.bins.push_back({BinRole::null_bin, {}, {}, {}});
  b.bins.push_back({BinRole::default_bin, {}, {}, {}});
  return b;
}

std::vector<double> values_of(const Bins& b) {
  std::vector<double> v;
  for (std::size_t i = 0; i < b.size(); ++i) v.push_back(10.0 + static_cast<double>(i));
  return v;
}

double expected_number(const Bins& b, double x) {
  const BinChoice c = CompiledNumericBinning::compile(b).find(x);
  return c.bin ? 10.0 + static_cast<double>(*c.bin) : kNaN;
}

bool same(double a, double b) {
  return (a != a && b != b) || a == b;
}

NumericColumnBinning numeric(const Bins& b) {
  return {CompiledNumericBinning::compile(b), values_of(b)};
}
CategoricColumnBinning categoric(const Bins& b) {
  return {CompiledCategoricBinning::compile(b), values_of(b)};
}

void noop_release(ArrowSchema* s) {
  s->release = nullptr;
}
void noop_release(ArrowArray* a) {
  a->release = nullptr;
}

ArrowSchema schema(const char* format, ArrowSchema* dictionary = nullptr) {
  ArrowSchema s{};
  s.format = format;
  s.dictionary = dictionary;
  s.release = &noop_release;
  return s;
}

ArrowArray array(std::int64_t length, std::vector<const void*>& buffers,
                 std::int64_t null_count = 0) {
  ArrowArray a{};
  a.length = length;
  a.null_count = null_count;
  a.n_buffers = static_cast<std::int64_t>(buffers.size());
  a.buffers = buffers.data();
  a.release = &noop_release;
  return a;
}

}  // namespace

TEST_CASE("number columns of every element type give the single lookup's value") {
  const Bins bins = sample();
  const NumericColumnBinning binning = numeric(bins);
  std::mt19937 rng(7);
  std::vector<double> doubles(300);
  for (double& x : doubles) {
    const double picks[] = {-1, 0, 0.5, 1, 1.5, 2, 2.5, kNaN, -kInf, kInf};
    x = picks[rng() % 10];
  }
  std::vector<std::int32_t> ints(doubles.size());
  std::vector<float> floats(doubles.size());
  for (std::size_t i = 0; i < doubles.size(); ++i) {
    ints[i] = std::isfinite(doubles[i]) ? static_cast<std::int32_t>(doubles[i]) : 3;
    floats[i] = static_cast<float>(doubles[i]);
  }
  std::vector<std::uint8_t> validity((doubles.size() + 7) / 8);
  for (auto& byte : validity) byte = static_cast<std::uint8_t>(rng());

  for (const bool with_validity : {false, true}) {
    for (const auto& [type, data, stride] :
         {std::tuple{NumberType::float64, static_cast<const void*>(doubles.data()), 8},
          std::tuple{NumberType::float32, static_cast<const void*>(floats.data()), 4},
          std::tuple{NumberType::int32, static_cast<const void*>(ints.data()), 4},
          std::tuple{NumberType::float64, static_cast<const void*>(doubles.data()), 16}}) {
      NumberColumn column{type, data, doubles.size() / (stride == 16 ? 2 : 1), stride};
      if (with_validity) column.validity = validity.data();
      std::vector<double> out(column.length);
      DefaultHits hits;
      binning.bin(column, out.data(), hits);
      std::size_t expected_hits = 0;
      for (std::size_t i = 0; i < column.length; ++i) {
        const double x = column.number(i);
        CAPTURE(i);
        CHECK(same(out[i], expected_number(bins, x)));
        expected_hits += x > 2 || x == -kInf;  // -inf: (-inf, 0] excludes it
      }
      CHECK(hits.warning().count == expected_hits);
      CHECK(hits.warning().examples.size() <= DefaultHits::kExamples);
    }
  }
}

TEST_CASE("hits: counts, five distinct examples, one message") {
  DefaultHits hits;
  for (double x : {3.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0})
    hits.add_number(DefaultHitLog::warning, x);
  hits.add_text(DefaultHitLog::debug, "x", 4);
  CHECK(hits.warning().count == 8);
  CHECK(hits.warning().examples == std::vector<std::string>{"3.0", "4.0", "5.0", "6.0", "7.0"});
  CHECK(default_hits_message("age", hits.debug()) ==
        "Predictive model hit default value 4 times when processing binning of attribute 'age' "
        "with value 'x', ....");
}

TEST_CASE("an incomplete bin throws only for a value that reaches it, carrying the value") {
  const Bins bins = sample(true);
  const NumericColumnBinning binning = numeric(bins);
  DefaultHits hits;
  CHECK(binning.bin_one(0.5, hits) == 11.0);
  try {
    binning.bin_one(1.5, hits);
    FAIL("no throw");
  } catch (const ReachedIncompleteBin& e) {
    CHECK(e.part() == BinPart::upper_bound);
    CHECK(e.number == 1.5);
  }
  // Dictionary entries: an entry reaching it fails only when a code refers to it.
  const char chars[] = "az";  // "z" reaches the bin without categories
  const std::int32_t offsets[] = {0, 1, 2};
  const Bins text_bins = sample(true);
  const CategoricColumnBinning texts = categoric(text_bins);
  std::vector<const void*> dict_buffers{nullptr, offsets, chars};
  ArrowArray dict_array = array(2, dict_buffers);
  ArrowSchema dict_schema = schema("u");
  const std::int8_t codes[] = {0, 0, 1};
  std::vector<const void*> code_buffers{nullptr, codes};
  ArrowArray codes_array = array(2, code_buffers);
  codes_array.dictionary = &dict_array;
  ArrowSchema codes_schema = schema("c", &dict_schema);
  std::vector<double> out(3);
  CHECK(
      bin_arrow_column(ArrowColumn(codes_schema, codes_array), nullptr, &texts, out.data(), hits));
  CHECK(out[0] == 10.0);
  CHECK(out[1] == 10.0);
  codes_array.length = 3;
  CHECK_THROWS_AS(
      bin_arrow_column(ArrowColumn(codes_schema, codes_array), nullptr, &texts, out.data(), hits),
      ReachedIncompleteBin);
}

TEST_CASE("Arrow text, large text, text view and dictionary columns") {
  const Bins bins = sample();
  const CategoricColumnBinning binning = categoric(bins);
  const char chars[] = "abnanzz";
  const std::int32_t offsets[] = {0, 1, 2, 5, 7, 7};
  const std::int64_t large[] = {0, 1, 2, 5, 7, 7};
  const std::uint8_t validity[] = {0b01111};  // the last is null
  // Expected: a, b, nan (missing), zz (catch-all), null.
  const std::vector<double> expected{10, 11, 13, 14, 13};
  std::vector<const void*> text_buffers{validity, offsets, chars};
  std::vector<const void*> large_buffers{validity, large, chars};
  // Views: "a", "b", "nan", then "zz" through a data buffer, null.
  unsigned char views[5][16] = {};
  const char* inline_texts[] = {"a", "b", "nan"};
  for (int k = 0; k < 3; ++k) {
    const auto length = static_cast<std::int32_t>(std::strlen(inline_texts[k]));
    std::memcpy(views[k], &length, 4);
    std::memcpy(views[k] + 4, inline_texts[k], static_cast<std::size_t>(length));
  }
  const char long_text[] = "zzzzzzzzzzzzzz";  // 14 characters: out of line
  const std::int32_t long_length = 14, buffer_index = 0, start = 0;
  std::memcpy(views[3], &long_length, 4);
  std::memcpy(views[3] + 8, &buffer_index, 4);
  std::memcpy(views[3] + 12, &start, 4);
  const std::int64_t sizes[] = {14};
  std::vector<const void*> view_buffers{validity, views, long_text, sizes};

  for (auto [format, buffers] : {std::pair{"u", &text_buffers}, std::pair{"U", &large_buffers},
                                 std::pair{"vu", &view_buffers}}) {
    CAPTURE(format);
    ArrowSchema s = schema(format);
    ArrowArray a = array(5, *buffers, 1);
    std::vector<double> out(5);
    DefaultHits hits;
    REQUIRE(bin_arrow_column(ArrowColumn(s, a), nullptr, &binning, out.data(), hits));
    for (std::size_t i = 0; i < 5; ++i) CHECK(same(out[i], expected[i]));
    CHECK(hits.warning().count == 1);
    // A numeric binning leaves present texts to the caller.
    const NumericColumnBinning numbers = numeric(bins);
    CHECK_FALSE(bin_arrow_column(ArrowColumn(s, a), &numbers, nullptr, out.data(), hits));
  }

  // Dictionary: codes 1, -, 0, 3 into "a", "b", "nan", "zz"; hits counted per value.
  ArrowSchema entries_schema = schema("u");
  const std::int32_t entry_offsets[] = {0, 1, 2, 5, 7};
  std::vector<const void*> entry_buffers{nullptr, entry_offsets, chars};
  ArrowArray entries = array(4, entry_buffers);
  const std::int16_t codes[] = {1, 99, 0, 3, 3};
  const std::uint8_t code_validity[] = {0b11101};
  std::vector<const void*> code_buffers{code_validity, codes};
  ArrowArray coded = array(5, code_buffers, 1);
  coded.dictionary = &entries;
  ArrowSchema coded_schema = schema("s", &entries_schema);
  std::vector<double> out(5);
  DefaultHits hits;
  REQUIRE(bin_arrow_column(ArrowColumn(coded_schema, coded), nullptr, &binning, out.data(), hits));
  const std::vector<double> gathered{11, 13, 10, 14, 14};
  for (std::size_t i = 0; i < 5; ++i) CHECK(same(out[i], gathered[i]));
  CHECK(hits.warning().count == 2);
  CHECK(hits.warning().examples == std::vector<std::string>{"zz"});
}

TEST_CASE("malformed or unsupported Arrow structs are refused") {
  const double numbers[] = {1, 2};
  std::vector<const void*> buffers{nullptr, numbers};
  std::vector<const void*> missing{nullptr, nullptr};
  std::vector<const void*> too_few{nullptr};
  ArrowSchema good = schema("g");
  const auto check = [](ArrowSchema s, ArrowArray a) {
    CHECK_THROWS_AS(ArrowColumn(s, a), MalformedArrow);
  };
  ArrowArray a = array(2, buffers);
  ArrowArray released = a;
  released.release = nullptr;
  check(good, released);
  ArrowArray negative = a;
  negative.length = -1;
  check(good, negative);
  negative = a;
  negative.offset = -3;
  check(good, negative);
  check(good, array(2, missing));
  check(good, array(2, too_few));
  ArrowArray no_buffers = a;
  no_buffers.buffers = nullptr;
  check(good, no_buffers);
  check(good, array(2, buffers, 1));  // nulls without a validity buffer
  ArrowSchema no_format = good;
  no_format.format = nullptr;
  check(no_format, a);
  ArrowSchema dictionary = schema("g");
  ArrowSchema coded = schema("i", &dictionary);
  check(coded, a);  // no dictionary entries
  CHECK_THROWS_WITH_AS(ArrowColumn(schema("tdm"), a), "unsupported Arrow format 'tdm'",
                       UnsupportedArrowFormat);
  ArrowSchema float_codes = schema("g", &dictionary);
  CHECK_THROWS_AS(ArrowColumn(float_codes, a), UnsupportedArrowFormat);
  // Text offsets out of order.
  const std::int32_t offsets[] = {0, 5, 2};
  std::vector<const void*> text_buffers{nullptr, offsets, "abcdef"};
  ArrowSchema text = schema("u");
  CHECK_THROWS_AS(ArrowColumn(text, array(2, text_buffers)).text(1), MalformedArrow);
}

}  // namespace zelvora
