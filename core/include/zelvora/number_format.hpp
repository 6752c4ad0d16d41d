// Number texts used in bin names, log messages and query views.
//
// Every function reproduces one formatting rule of Python exactly, so
// that names generated here match names stored by earlier versions of the system.
#pragma once

#include <string>

namespace zelvora {

/// Shortest text that reads back as `x`, in Python's repr style: "5.0", "0.0001",
/// "1e-05", "1e+16", "nan", "inf", "-inf".
std::string float_repr(double x);

/// Integer text of a whole number without fraction or exponent (1e20 gives "1" and
/// twenty zeros). A negative zero is written "0".
std::string whole_number_text(double whole);

/// Fixed-point text with `decimals` digits after the point ("{:.3f}" for 3).
std::string fixed_text(double x, int decimals);

/// Scientific text with `decimals` digits, an upper-case E, a signed exponent of at
/// least two digits ("{:.2E}" for 2); NaN gives "NAN".
std::string scientific_text(double x, int decimals);

/// True for a finite number without fraction.
bool is_whole(double x);

/// The bound text of a numerical bin name: "-inf", "inf", the integer text of a whole
/// number, "{:.3f}" when x * 100 > 1, otherwise "{:.2E}" (negative fractions included).
std::string bound_text(double x);

/// `x` rounded to `decimals` digits after the point exactly as Python's
/// round(x, decimals): the double nearest to the exact decimal value of `x` rounded at
/// that place, an exact tie going to the even digit. NaN, the infinities and zeros are
/// returned as they are; a tiny value keeps its sign when it rounds to zero. More than
/// 323 decimals leave every double unchanged. Throws std::domain_error for a negative
/// `decimals`.
double round_to_decimals(double x, int decimals);

}  // namespace zelvora
