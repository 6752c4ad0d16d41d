// Classes created at import that are not records: metatypes, subclasses of library
// classes (representers, encoders), plain holder classes. Records and views go through
// records.hpp and views.hpp, which build on the same class creation.
//
//   declare_class(m, {
//       .name = "ValidRepresenter",
//       .doc = "Safe representer that leaves out empty mapping entries.",
//       .bases = {safe_representer},          // none: object
//       .methods = {method("represent", &represent, nb::arg("data").none())},
//   });
//
// The metaclass is the first base's type unless `.metaclass` names another; extra class
// attributes (`__slots__`, constants) go into `.attributes`. Methods are compiled
// functions: `method` takes the instance first, `class_method` the class, and
// `static_method` neither. Closures must not capture Python objects.
//
// Every method and function presents its real signature to `inspect` and `help()`
// (signed_function.hpp): the parameters nanobind knows, typed by the text given with
// `nb::sig` (without it, a handle parameter shows as `Any`), which is how a public
// callable states its types:
//
//   method("bin_numeric_attribute", &bin_numeric, nb::arg("value").none(),
//          nb::sig("def bin_numeric_attribute(self, value: float | None) -> Any"));
//
// Module functions go through `def_function`, which publishes them like classes:
//
//   def_function(m, "safe_loads_yaml", &safe_loads_yaml, nb::arg("content"),
//                nb::sig("def safe_loads_yaml(content: str) -> Any"), "Reads YAML.");
//
// A module states its purpose with `describe_module`; what `publish` publishes under a
// public name goes into the module's `__all__`.
//
// Classes of other modules are reached by name, which imports their module first:
//
//   nb::object binning = import_class(module_path::kBinning, "FeatureBinning");
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

#include "common/python_api.hpp"
#include "common/signed_function.hpp"

namespace zelvora::py {

/// A class attribute holding a compiled function.
struct MethodDecl {
  const char* name;
  nb::object callable;
};

/// An instance method; `f` takes the instance (nb::handle) first.
template <class F, class... Extra>
MethodDecl method(const char* name, F&& f, const Extra&... extra) {
  return {name, signed_compiled(nb::cpp_function(std::forward<F>(f), nb::is_method(),
                                                 nb::name(name), extra...))};
}

/// An instance method called often enough that the compiled function's argument dispatch
/// matters: positional calls go to `F` directly (signed_function.hpp, fast_path).
template <auto F, class... Extra>
MethodDecl fast_method(const char* name, const Extra&... extra) {
  MethodDecl m = method(name, F, extra...);
  set_fast_path(m.callable, fast_path<F>(F));
  return m;
}

/// A static operation.
template <class F, class... Extra>
MethodDecl static_method(const char* name, F&& f, const Extra&... extra) {
  return {name, api().staticmethod(signed_compiled(
                    nb::cpp_function(std::forward<F>(f), nb::name(name), extra...)))};
}

/// A class operation; `f` takes the class (nb::handle) first.
template <class F, class... Extra>
MethodDecl class_method(const char* name, F&& f, const Extra&... extra) {
  return {name, api().classmethod(signed_compiled(
                    nb::cpp_function(std::forward<F>(f), nb::name(name), extra...)))};
}

/// A class attribute with a plain value.
struct AttributeDecl {
  const char* name;
  nb::object value;
};

struct ClassDecl {
  const char* name;
  const char* doc = "";
  std::vector<nb::handle> bases = {};  ///< none: object
  nb::handle metaclass = {};           ///< none: the type of the first base (else type)
  std::vector<MethodDecl> methods = {};
  std::vector<AttributeDecl> attributes = {};
};

/// Creates the class, publishes it in `m` and returns it.
nb::object declare_class(nb::module_& m, const ClassDecl& decl);

/// Creates a class from a prepared namespace (which `class_namespace` starts) the way a
/// class statement does, publishes it in `m` and returns it. The metaclass is the type
/// of the first base unless given.
nb::object create_class(nb::module_& m, const char* name, const std::vector<nb::handle>& bases,
                        nb::dict ns, nb::handle metaclass = {});

/// Publishes a class (or function) under `name` in `m`, listing a public name in the
/// module's `__all__` (and makes the module resolvable by name while it is still
/// initialising).
void publish(nb::module_& m, const char* name, nb::handle cls);

/// A module function with its real signature, published in `m`; returns it.
template <class F, class... Extra>
nb::object def_function(nb::module_& m, const char* name, F&& f, const Extra&... extra) {
  nb::object function = signed_compiled(
      nb::cpp_function(std::forward<F>(f), nb::name(name), extra...), module_name(m));
  publish(m, name, function);
  return function;
}

/// Sets the module's docstring and starts its `__all__` (empty until something public is
/// published).
void describe_module(nb::module_& m, const char* doc);

/// A class (or any attribute) of another module of the package or of a library,
/// importing the module if needed.
nb::object import_class(const char* module, const char* name);

/// The record base of every record, CoreModel.
nb::object record_base();

}  // namespace zelvora::py
