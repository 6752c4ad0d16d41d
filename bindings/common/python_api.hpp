// Handles of the Python libraries that the bindings use, imported once per module.
#pragma once

#include <nanobind/nanobind.h>

#include "common/module_state.hpp"

namespace zelvora::py {

namespace nb = nanobind;

/// The Python objects every binding module reaches for. Loaded first thing in a module's
/// init and kept in the module's state (see module_state.hpp).
struct PythonApi {
  // builtins and the standard library
  Held<nb::object> builtin_type, classmethod, staticmethod, abstract_base;
  Held<nb::object> typing_optional, typing_list, typing_dict, typing_literal, typing_union,
      typing_annotated, typing_get_origin, typing_get_args, typing_any;
  Held<nb::object> date_type;
  Held<nb::object> enum_type, mapping_abc;
  Held<nb::object> signature, parameter, parameter_empty, positional_or_keyword;
  // pydantic
  Held<nb::object> base_model, field, model_validator, config_dict;
  // strawberry: loaded by schema_api(), on the first declaration of a view
  Held<nb::object> strawberry_auto, strawberry_field, strawberry_enum, strawberry_union,
      pydantic_type, strawberry_type, strawberry_private;
  // structlog
  Held<nb::object> get_logger;
};

/// Loads the handles into module `m`'s state; the first call of every module's init.
/// Also sets whether nanobind reports leaked objects at exit: only when the environment
/// asks for it (ZELVORA_LEAK_WARNINGS=1, as the test runs do), since the objects that a
/// program still holds at exit are no fault of its own.
void load_api(nb::module_& m);

/// The handles of the calling module.
const PythonApi& api();

/// The same handles, with the query schema library's loaded (imported on first use, so
/// that a module whose views are never asked for never imports it).
const PythonApi& schema_api();

/// `type(name, bases, namespace)` through the metaclass of the first base, the way a
/// class statement creates a class.
nb::object make_class(nb::handle metaclass, const char* name, nb::tuple bases, nb::dict ns);

/// The name of the module being initialised, for `__module__` of what it creates.
nb::str module_name(const nb::module_& m);

/// The namespace a class statement in module `m` starts with: `__module__`,
/// `__qualname__` and `__doc__`.
nb::dict class_namespace(const nb::module_& m, const char* name, const char* doc);

}  // namespace zelvora::py
