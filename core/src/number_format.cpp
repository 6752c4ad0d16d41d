#include "zelvora/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>

namespace zelvora {
namespace {

using Buffer = std::array<char, 512>;  // room for the 309 integer digits of DBL_MAX

// Beyond this many decimals every double is already exact (CPython's NDIGITS_MAX).
constexpr int kMaxRoundingDecimals = 323;
using RoundingBuffer = std::array<char, 2 + 309 + 1 + kMaxRoundingDecimals>;

std::string to_text(double x, std::chars_format format, int precision) {
  Buffer buf;
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), x, format, precision);
  return std::string(buf.data(), end);
}

std::string non_finite_text(double x, bool upper) {
  if (std::isnan(x)) return upper ? "NAN" : "nan";
  if (x > 0) return upper ? "INF" : "inf";
  return upper ? "-INF" : "-inf";
}

// Decimal digits and exponent of the shortest round-trip form of a finite x.
struct ShortestDigits {
  bool negative;
  std::string digits;  // no leading or trailing zeros, at least one digit
  int exponent;        // value = 0.d1d2d3... * 10^exponent
};

ShortestDigits shortest_digits(double x) {
  Buffer buf;
  auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::scientific);
  std::string_view text(buf.data(), static_cast<std::size_t>(end - buf.data()));
  ShortestDigits out{text.front() == '-', {}, 0};
  if (out.negative) text.remove_prefix(1);
  const auto e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  int exp10 = 0;
  std::string_view exp_text = text.substr(e + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);
  out.exponent = exp10 + 1;
  return out;
}

}  // namespace

std::string float_repr(double x) {
  if (!std::isfinite(x)) return non_finite_text(x, false);
  if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";
  const ShortestDigits d = shortest_digits(x);
  const int n = static_cast<int>(d.digits.size());
  std::string out = d.negative ? "-" : "";
  if (d.exponent <= -4 || d.exponent > 16) {
    out += d.digits.front();
    if (n > 1) out.append(".").append(d.digits, 1);
    const int exp10 = d.exponent - 1;
    const int magnitude = exp10 < 0 ? -exp10 : exp10;
    out += exp10 < 0 ? "e-" : "e+";
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (d.exponent <= 0) {
    out.append("0.").append(static_cast<std::size_t>(-d.exponent), '0').append(d.digits);
  } else if (d.exponent >= n) {
    out.append(d.digits).append(static_cast<std::size_t>(d.exponent - n), '0').append(".0");
  } else {
    const auto point = static_cast<std::size_t>(d.exponent);
    out.append(d.digits, 0, point).append(".").append(d.digits, point);
  }
  return out;
}

bool is_whole(double x) {
  return std::isfinite(x) && std::trunc(x) == x;
}

std::string whole_number_text(double whole) {
  if (whole == 0) return "0";
  return to_text(whole, std::chars_format::fixed, 0);
}

std::string fixed_text(double x, int decimals) {
  if (!std::isfinite(x)) return non_finite_text(x, false);
  return to_text(x, std::chars_format::fixed, decimals);
}

std::string scientific_text(double x, int decimals) {
  if (!std::isfinite(x)) return non_finite_text(x, true);
  std::string out = to_text(x, std::chars_format::scientific, decimals);
  for (char& c : out) {
    if (c == 'e') c = 'E';
  }
  return out;
}

std::string bound_text(double x) {
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (is_whole(x)) return whole_number_text(x);
  if (x * 100 > 1) return fixed_text(x, 3);
  return scientific_text(x, 2);
}

double round_to_decimals(double x, int decimals) {
  if (decimals < 0) throw std::domain_error("round_to_decimals: negative number of decimals");
  if (!std::isfinite(x) || x == 0 || decimals > kMaxRoundingDecimals) return x;
  // to_chars prints the exact binary value correctly rounded (ties to even) at the
  // requested place; from_chars reads that decimal back to the nearest double.
  RoundingBuffer buf;
  auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) throw std::logic_error("round_to_decimals: buffer too small");
  double rounded = 0;
  std::from_chars(buf.data(), end, rounded, std::chars_format::fixed);
  return rounded;
}

}  // namespace zelvora
