// Checks of argument types on entry to an operation.
#pragma once

#include <nanobind/nanobind.h>

namespace zelvora::py {

namespace nb = nanobind;

/// Whether None passes the check.
enum class NoneAllowed : bool { no = false, yes = true };

/// Raises TypeError "Argument '<name>' has incorrect type (expected <expected>, got
/// <type of value>)" unless `value` is an instance of `expected` (or None, if allowed).
void check_argument_type(nb::handle value, PyTypeObject* expected, const char* name,
                         NoneAllowed none_allowed);

/// The check of an `attribute` argument: a str.
void check_attribute(nb::handle attribute);

/// Raises that TypeError for `value` without testing it.
[[noreturn]] void raise_argument_type_error(nb::handle value, const char* name,
                                            const char* expected);

}  // namespace zelvora::py
