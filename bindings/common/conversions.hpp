// Small conversions between Python objects and C++ values, shared by every module.
//
// Rules for every binding (each one was paid for with a crash or a lost value):
//
// * References. Never keep a borrowed reference (a list or tuple slot, a dict item, a
//   PySequence_Fast view, PyUnicode_AsUTF8 data of a str you do not own) across a call
//   that can run Python code: attribute access (a property, __slots__, __getattr__),
//   comparison, hashing, str(), iteration, logging, building a record. That code, or
//   another thread at the next GIL switch, may shrink a list or drop the item, and the
//   slot then points at freed memory. Take a strong reference first (nb::borrow at once,
//   a private copy of a caller's list, as in common/record_bins.hpp), or re-check the
//   size and re-read the slot after the call.
// * Texts. A Python str may hold lone surrogates and still be valid. Compare Python
//   texts as Python texts (PyUnicode_Compare, ascii_view for fixed ASCII words), never
//   by encoding them first. Turn a user text into bytes only where it leaves Python, and
//   then losslessly: text_bytes / from_text_bytes carry any str through C++ and back.
//   utf8() is for texts that must be valid UTF-8 (file names, archive members, JSON).
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>

namespace zelvora::py {

namespace nb = nanobind;

/// Owns a new reference returned by the C API; a null result raises the pending error.
template <class T = nb::object>
T steal_or_throw(PyObject* result) {
  if (!result) throw nb::python_error();
  return nb::steal<T>(result);
}

/// The UTF-8 text of a str, valid while the str lives. Raises UnicodeEncodeError for a
/// str holding a lone surrogate: use it only where the text must be valid UTF-8.
std::string_view utf8(nb::handle text);

/// A new str of UTF-8 text.
inline nb::str to_str(std::string_view text) {
  return nb::str(text.data(), text.size());
}

/// The interned str of a name: dict lookups by it compare identity first, and instance
/// dicts keyed by it keep the interpreter's specialised attribute reads hitting.
inline nb::str interned(const char* name) {
  return steal_or_throw<nb::str>(PyUnicode_InternFromString(name));
}

/// The bytes of any str for C++ text handling: UTF-8, with a lone surrogate written as
/// its three-byte form (one code point, one lead byte). from_text_bytes gives the very
/// str back.
std::string text_bytes(nb::handle text);

/// The str of bytes made by text_bytes (or of plain UTF-8).
nb::str from_text_bytes(std::string_view bytes);

/// The code points of a str, lone surrogates included.
std::u32string code_points(nb::handle text);

/// The characters of an all-ASCII str, without copying or encoding; nullopt for any
/// other str. Valid while the str lives.
std::optional<std::string_view> ascii_view(nb::handle text);

/// Whether the value's type is one of numpy's own (its __module__ is "numpy": arrays and
/// scalars), told without importing numpy. Their tolist() gives plain data.
bool is_numpy_value(nb::handle value);

/// obj.name(): a method called without arguments.
inline nb::object call_method(nb::handle obj, nb::handle name) {
  return steal_or_throw(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

/// str(value) as text bytes: any str, lone surrogates included, survives the trip.
std::string text_of(nb::handle value);

/// Whether the value is a dict or a collections.abc.Mapping (registered or derived).
bool is_mapping(nb::handle value);

/// The whole text of a stream, read from its start (seek(0), then read()).
nb::object rewound_text(nb::handle stream);

/// The value of a number as a double (float() rules for float subclasses and __float__).
double to_double(nb::handle number);

}  // namespace zelvora::py
