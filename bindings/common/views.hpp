// Declaration of query views: read-only strawberry types mirroring records.
//
// A view mirrors some fields of its record unchanged and computes others from the
// record on every query. A schema field typed as a view may return the record itself;
// computed resolvers receive that record.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

namespace zelvora::py {

namespace nb = nanobind;

/// Computes a field's value from the record the view shows.
using ResolveFn = nb::object (*)(nb::handle record);

struct ComputedField {
  const char* name;
  nb::object type;  ///< the schema type of the result
  ResolveFn resolve;
  const char* doc = "";
};

struct ViewDecl {
  const char* name;
  nb::handle record;     ///< the record class the view mirrors
  nb::handle base = {};  ///< a base view whose fields come first
  std::vector<const char*> mirrored = {};
  std::vector<ComputedField> computed = {};
  const char* doc = "";
};

/// Creates the view class, publishes it in `m` and returns it.
nb::object declare_view(nb::module_& m, const ViewDecl& decl);

/// Publishes an enumeration in the schema under its own name; returns it.
nb::object schema_enum(nb::handle enum_class);

/// A schema union of views, under `name`.
nb::object schema_union(const char* name, std::initializer_list<nb::handle> views);

}  // namespace zelvora::py
