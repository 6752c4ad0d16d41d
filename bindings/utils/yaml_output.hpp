// The native YAML writer of zelvora_analytics_utils.utils.dump: walks the data as the
// module's representer would (filter, convert, then the safe representer's rules for
// plain types) into the core writer's nodes, and writes them without the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

namespace zelvora::dump {

namespace nb = nanobind;

/// The module's conversions, applied to every value in this order.
struct Conversions {
  nb::object (*filter_data)(nb::handle);
  nb::object (*format_output_data)(nb::handle);
};

/// Loads the writer's state into module `m`.
void load_yaml_output(nb::module_& m, Conversions conversions);

/// The YAML text of a stream of documents, written for `representer` (the module's
/// representer class, whose registered representers of plain types the writer stands in
/// for), or nothing when one of them holds what only
/// ruamel.yaml's representer writes: another type than the plain ones, a collection met
/// twice (an anchor and alias), a key that is not a text, nesting past the writer's
/// depth, a representer registered over the safe one for a plain type, or a value whose
/// conversion raised (ruamel's path then raises it where it writes the stream).
std::optional<nb::str> native_yaml(nb::handle documents, nb::handle representer);

}  // namespace zelvora::dump
