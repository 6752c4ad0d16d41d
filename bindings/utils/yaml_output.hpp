// The native YAML writer of zelvora_analytics_utils.utils.dump: walks the data as the
// module's representer would (filter, convert, then the safe representer's rules for
// plain types) into the core writer's nodes, and writes them without the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace zelvora::dump {

namespace nb = nanobind;

/// The module's conversions, applied to every value in this order.
struct Conversions {
  nb::object (*filter_data)(nb::handle);
  nb::object (*format_output_data)(nb::handle);
};

/// Loads the writer's state into module `m`.
void load_yaml_output(nb::module_& m, Conversions conversions);

/// Writes a stream of documents for `representer` (the module's representer class, whose
/// registered representers of plain types the writer stands in for) as text pieces to
/// `sink`, in order: runs of documents the native writer writes, and in its place each
/// document holding what only ruamel.yaml's representer writes (another type than the
/// plain ones, a collection met twice: an anchor and alias, a key that is not a text,
/// nesting past the writer's depth, or a value whose conversion raised, which ruamel
/// then raises), whose text `ruamel_text` gives for a list of documents. Returns false,
/// having written nothing, for a stream of one such document or when a representer was
/// registered over the safe one for a plain type: ruamel writes all of that stream.
bool write_stream(nb::handle documents, nb::handle representer,
                  const std::function<nb::str(nb::handle)>& ruamel_text,
                  const std::function<void(const nb::str&)>& sink);

}  // namespace zelvora::dump
