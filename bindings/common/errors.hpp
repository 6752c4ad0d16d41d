// Reshaping Python errors on their way out of an operation.
//
// Prefixing: an error raised inside `f` leaves as an error of the same kind whose message
// is the prefix followed by the original message, with the original as its __cause__:
//
//   return with_error_prefix([&] { return "Binning attribute " + name + ": "; },
//                            [&] { return bin_value(binning, value); });
//
// The prefix is built only when an error passes. The original message is the text of the
// error's only argument (so KeyError('x') gives "x", not "'x'"), or its str() when it has
// none or several. Kinds that cannot be built from one message
// (pydantic.ValidationError, UnicodeDecodeError, errors whose constructor wants more)
// leave as the nearest base kind in their MRO that can (ValueError, UnicodeError, ...),
// so handlers of that base still catch them and the original stays the cause. A KeyError
// keeps KeyError's own quoting of its message in str(). Exceptions that are not errors
// (KeyboardInterrupt, SystemExit) pass unchanged; C++ exceptions other than nanobind's
// builtin ones are not caught, so `f` translates the core's own exceptions itself.
//
// Kind check of a value read from plain data, "Expected float, got int":
//
//   check_kind(value, &PyFloat_Type, "float", NoneAllowed::yes);
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/arguments.hpp"

namespace zelvora::py {

namespace nb = nanobind;

/// Raises the error `error` holds again, reshaped with `prefix` (text bytes, see
/// common/conversions.hpp) as described above.
[[noreturn]] void raise_with_prefix(const nb::python_error& error, std::string_view prefix);

/// The Python error a nanobind builtin exception stands for.
nb::python_error as_python_error(const nb::builtin_exception& e);

/// Runs `f`; an error it raises (a Python error or a nanobind builtin exception) leaves
/// with the prefix that `prefix()` (a std::string) gives.
template <class Prefix, class F>
decltype(auto) with_error_prefix(Prefix&& prefix, F&& f) {
  try {
    return f();
  } catch (const nb::python_error& e) {
    raise_with_prefix(e, prefix());
  } catch (const nb::builtin_exception& e) {
    raise_with_prefix(as_python_error(e), prefix());
  }
}

/// Raises TypeError "Expected <expected>, got <type name of value>".
[[noreturn]] void raise_kind_error(nb::handle value, const char* expected);

/// Raises that TypeError unless `value` is an instance of `kind` (or None, if allowed).
void check_kind(nb::handle value, PyTypeObject* kind, const char* expected,
                NoneAllowed none_allowed);

}  // namespace zelvora::py
