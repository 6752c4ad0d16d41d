// YAML input of zelvora_analytics_utils.utils.dump: the native reader (yaml_reader.hpp)
// for the documents it covers, ruamel.yaml's safe loader for the rest, every text held
// to the core's structure budget first.
#pragma once

#include <nanobind/nanobind.h>

namespace zelvora::dump {

namespace nb = nanobind;

/// Loads the input's state and the native reader into module `m`, and declares the
/// resolver class of the C parser's loads.
void load_yaml_input(nb::module_& m);

/// Declares the checked constructor and the budgeted pure parser in module `m`.
void declare_yaml_input_classes(nb::module_& m);

/// The plain data of a single YAML document.
nb::object safe_loads_yaml(nb::handle content);

}  // namespace zelvora::dump
