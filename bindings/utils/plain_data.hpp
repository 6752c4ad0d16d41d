// The filtering and conversion of values for output, shared by YAML and JSON output of
// zelvora_analytics_utils.utils.dump: empty mapping entries are left out, and values
// past the plain types (enumerations, decimals, dates, UUIDs, pydantic records, sets,
// data classes, numpy values) become plain data.
#pragma once

#include <nanobind/nanobind.h>

namespace zelvora::dump {

namespace nb = nanobind;

/// Loads the conversions' state into module `m`.
void load_plain_data(nb::module_& m);

/// True for None and for values equal to an empty list or an empty mapping.
bool is_invalid(nb::handle value);

/// A new mapping without its invalid entries; any other value unchanged.
nb::object filter_data(nb::handle data);

/// A value converted to plain data for output; the same object when no rule applies.
nb::object format_output_data(nb::handle obj);

}  // namespace zelvora::dump
