#include "zelvora/number_format.hpp"

#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct TextCase {
  double x;
  const char* text;
};

}  // namespace

TEST_CASE("float_repr writes Python's repr") {
  const TextCase cases[] = {
      {5.0, "5.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.0001, "0.0001"},
      {1e-5, "1e-05"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {123456789012345680.0, "1.2345678901234568e+17"},
      {-1.5e-7, "-1.5e-07"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {kNan, "nan"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& c : cases) CHECK(zelvora::float_repr(c.x) == c.text);
}

TEST_CASE("bound_text: integer text, {:.3f} above 0.01, {:.2E} below") {
  const TextCase cases[] = {
      {-0.0, "0"},
      {3.0, "3"},
      {-7.0, "-7"},
      {1e20, "100000000000000000000"},
      {1e23, "99999999999999991611392"},  // the double's exact value, as int() gives it
      {0.5, "0.500"},
      {2.0005, "2.001"},   // 2.0005 is stored above the tie
      {2.0625, "2.062"},   // an exact tie goes to the even digit
      {0.01, "1.00E-02"},  // 0.01 * 100 is exactly 1: not above it
      {0.0100001, "0.010"},
      {-0.5, "-5.00E-01"},  // negative fractions take the scientific form too
      {-1234.5, "-1.23E+03"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNan, "NAN"},
  };
  for (const auto& c : cases) CHECK(zelvora::bound_text(c.x) == c.text);
}

TEST_CASE("fixed_text and scientific_text on signs, ties and non-finite values") {
  CHECK(zelvora::fixed_text(-0.0, 3) == "-0.000");
  CHECK(zelvora::fixed_text(-0.0001, 3) == "-0.000");
  CHECK(zelvora::fixed_text(0.5, 0) == "0");
  CHECK(zelvora::fixed_text(1.5, 0) == "2");
  CHECK(zelvora::fixed_text(2.5, 0) == "2");
  CHECK(zelvora::fixed_text(kNan, 3) == "nan");
  CHECK(zelvora::fixed_text(-kInf, 3) == "-inf");
  CHECK(zelvora::scientific_text(0.0, 2) == "0.00E+00");
  CHECK(zelvora::scientific_text(-0.0, 2) == "-0.00E+00");
  CHECK(zelvora::scientific_text(1e-100, 2) == "1.00E-100");
  CHECK(zelvora::scientific_text(9.995, 2) == "9.99E+00");  // 9.995 is stored below the tie
  CHECK(zelvora::scientific_text(kInf, 2) == "INF");
  CHECK(zelvora::scientific_text(-kInf, 2) == "-INF");
  CHECK(zelvora::scientific_text(kNan, 2) == "NAN");
}

TEST_CASE("is_whole") {
  CHECK(zelvora::is_whole(-0.0));
  CHECK(zelvora::is_whole(1e300));
  CHECK_FALSE(zelvora::is_whole(0.5));
  CHECK_FALSE(zelvora::is_whole(kInf));
  CHECK_FALSE(zelvora::is_whole(kNan));
}

TEST_CASE("round_to_decimals rounds as Python's round()") {
  struct Case {
    double x;
    int decimals;
    double rounded;
  };
  const Case cases[] = {
      {2.675, 2, 2.67},  // stored below the tie
      {0.125, 2, 0.12},  // exact tie: even digit
      {0.375, 2, 0.38},        {2.5, 0, 2.0},
      {3.5, 0, 4.0},           {1.0000000000000002, 15, 1.0},
      {123.456, 323, 123.456}, {5e-324, 323, 0.0},
      {5e-324, 324, 5e-324},  // past the last place every double is exact
      {1e308, 5, 1e308},
  };
  for (const auto& c : cases) {
    CAPTURE(c.x);
    CAPTURE(c.decimals);
    CHECK(zelvora::round_to_decimals(c.x, c.decimals) == c.rounded);
  }
  // A value rounding to zero keeps its sign; non-finite values pass through.
  CHECK(std::signbit(zelvora::round_to_decimals(-1e-10, 3)));
  CHECK(std::signbit(zelvora::round_to_decimals(-0.5, 0)));
  CHECK(std::signbit(zelvora::round_to_decimals(-0.0, 2)));
  CHECK(zelvora::round_to_decimals(-kInf, 2) == -kInf);
  CHECK(std::isnan(zelvora::round_to_decimals(kNan, 2)));
  CHECK_THROWS_AS(zelvora::round_to_decimals(1.0, -1), std::domain_error);
}

TEST_CASE("whole_number_text writes every digit, without sign for zero") {
  CHECK(zelvora::whole_number_text(3.0) == "3");
  CHECK(zelvora::whole_number_text(-7.0) == "-7");
  CHECK(zelvora::whole_number_text(-0.0) == "0");
  CHECK(zelvora::whole_number_text(1e20) == "100000000000000000000");
}
