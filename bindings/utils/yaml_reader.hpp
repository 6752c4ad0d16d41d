// The native YAML reader of the dump module: libyaml's events (core/yaml_events.hpp) made
// into the plain data that ruamel.yaml's safe loader gives for the same text.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "zelvora/yaml_structure.hpp"

namespace zelvora::py {

namespace nb = nanobind;

/// What the native reader made of a YAML text.
struct NativeYamlRead {
  /// The document's plain data; empty when ruamel's safe loader must answer (its own
  /// value or its own error).
  std::optional<nb::object> value;
  /// libyaml read the whole text within the structure budget: ruamel's reader may run on it
  /// without a check of its own.
  bool libyaml_read = false;
};

/// Raises the ValueError of a text past the structure budget.
[[noreturn]] void raise_structure_error(const YamlStructureError& e);

/// Keeps the handles the reader uses in module `m`'s state.
void load_yaml_reader(nb::module_& m);

/// Reads the single document of a str. Raises ValueError for a text past the structure
/// budget (nesting depth, alias expansion).
NativeYamlRead read_yaml_natively(nb::handle content);

}  // namespace zelvora::py
