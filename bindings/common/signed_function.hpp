// Compiled callables that carry a signature readable by `inspect`.
//
// Compiled functions have no inspectable signature, but pydantic validators and
// strawberry resolvers are chosen and called by the signature they read. A signed
// function forwards its calls to a compiled function and carries `__signature__`,
// `__name__`, `__qualname__`, `__annotations__`, `__module__` and `__doc__`.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <exception>
#include <new>
#include <utility>
#include <vector>

namespace zelvora::py {

namespace nb = nanobind;

/// One parameter, positional or by name; a null annotation means none.
struct Parameter {
  const char* name;
  nb::object annotation = {};
};

struct Signature {
  std::vector<Parameter> parameters;
  nb::object returns = {};  ///< null: no return annotation
};

/// A callable forwarding to `target`, presenting `signature` under `name`.
nb::object signed_function(nb::object target, const char* name, const Signature& signature,
                           nb::handle module, const char* doc = "");

/// A callable forwarding to the compiled function `compiled` and presenting its own
/// signature: the text given with `nb::sig("def name(a: int, *, b: str = 'x') -> None")`,
/// else nanobind's rendering of its arguments. Annotations are evaluated against the
/// typing names, `io`, `os`, `datetime`, `collections.abc` and what `module` holds so
/// far; a name not known yet stays a forward reference (its text). `__module__` is
/// `module` (none: set later, by the class the function goes into).
nb::object signed_compiled(nb::object compiled, nb::handle module = {});

/// A direct entry for calls with `arity` positional arguments and no keywords, skipping
/// the compiled function's argument dispatch: it takes the arguments and returns a new
/// reference, or null with an error set (see `fast_path`).
struct FastPath {
  PyObject* (*call)(PyObject* const* args) = nullptr;
  Py_ssize_t arity = 0;
};

namespace detail {
template <auto F, std::size_t... I>
PyObject* call_fast(PyObject* const* args, std::index_sequence<I...>) noexcept {
  try {
    return F(nb::handle(args[I])...).release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}
}  // namespace detail

/// The fast path of `F`, a function of handles returning an nb::object. `F` reports its
/// errors as Python errors (nb::python_error); any other C++ exception surfaces as
/// RuntimeError (MemoryError for std::bad_alloc).
template <auto F, class... Handles>
FastPath fast_path(nb::object (*)(Handles...)) {
  static_assert((std::same_as<Handles, nb::handle> && ...));
  return {[](PyObject* const* args) noexcept {
            return detail::call_fast<F>(args, std::index_sequence_for<Handles...>{});
          },
          static_cast<Py_ssize_t>(sizeof...(Handles))};
}

/// Gives a signed function made by `signed_compiled` a fast path (the same operation).
void set_fast_path(nb::handle f, FastPath fast);

/// Gives the signed functions of a class namespace (plain, or under staticmethod and
/// classmethod) the class's module and their qualified names.
void adopt_methods(nb::dict ns);

/// Registers the type of signed functions; done once, by the
/// record-base module, before any module creates one.
void register_signed_function_type(nb::module_& m);

/// Names of the types of the package's compiled functions and methods.
std::vector<std::string> compiled_function_type_names();

}  // namespace zelvora::py
