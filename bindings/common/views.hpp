// Declaration of query views: read-only strawberry types.
//
// A view mirrors a record: some of its fields unchanged (child records show through
// their own views), others computed from the record on every query.
//
//   declare_view(m, {
//       .name = "AugmentedPredictiveModelType",
//       .record = model,                        // the record class mirrored
//       .base = {},                             // a base view whose fields come first
//       .mirrored = {"attributes", "target", {"monitoring", tracking_view}},
//       .computed = {
//           computed("formula", optional(str_type()), &model_formula),   // free function
//           computed_method("category", category_enum, "get_external_model_category"),
//       },
//   });
//
// A mirrored field takes its schema type from the record's field unless given
// ({"name", type}). A schema field typed as a view may return the record itself; each
// computed resolver receives that record (or the record the view was built from). The
// schema library lists a view's computed fields before its mirrored ones. The doc (else
// the record's) is the type's description in the schema; a mirrored field shows the
// description of its record field (records.hpp, `described`).
//
// A plain query type mirrors no record. Its fields are constructor arguments shown in
// the schema, its private members constructor arguments kept out of it, and its computed
// fields read the object itself or, with `.source`, one of its members:
//
//   nb::object external = declare_query_type(m, {
//       .name = "ExternalPredictiveModelType",
//       .private_members = {{"extended_model", model}},
//       .computed = {computed_method("intercept", optional(float_type()),
//                                    "get_external_model_intercept")},
//       .source = "extended_model",
//   });
//   external(record);  // or external(extended_model=record)
//
//   nb::object note = declare_query_type(m, {
//       .name = "GeneralNoteType",
//       .fields = {{"title", str_type()}, {"content", str_type()}},
//   });
//   note(nb::arg("title") = key, nb::arg("content") = text);
//
// Constructors take the fields, then the private members, by position or by name. Schema
// fields come in the order: fields, then computed fields.
//
// Resolvers are synchronous: they serve both `schema.execute` and `schema.execute_sync`.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace zelvora::py {

namespace nb = nanobind;

/// Computes a field's value from the record the view shows.
using ResolveFn = nb::object (*)(nb::handle record);

struct ComputedField {
  const char* name;
  nb::object type;              ///< the schema type of the result
  ResolveFn resolve = nullptr;  ///< the function computing the value, or:
  const char* doc = "";
  const char* member = nullptr;  ///< the record's attribute read (or method called) instead
  bool call_member = false;      ///< call `member` without arguments rather than read it
};

/// A field computed by a function of the record.
inline ComputedField computed(const char* name, nb::object type, ResolveFn resolve,
                              const char* doc = "") {
  return {name, std::move(type), resolve, doc};
}
/// A field calling the record's method `method_name` without arguments.
inline ComputedField computed_method(const char* name, nb::object type, const char* method_name,
                                     const char* doc = "") {
  return {name, std::move(type), nullptr, doc, method_name, true};
}

/// A mirrored field: its name, and its schema type when not the record field's own.
struct Mirrored {
  Mirrored(const char* name_, nb::object type_ = {}) : name(name_), type(std::move(type_)) {}
  const char* name;
  nb::object type;
};

struct ViewDecl {
  const char* name;
  nb::handle record;     ///< the record class the view mirrors
  nb::handle base = {};  ///< a base view whose fields come first
  std::vector<Mirrored> mirrored = {};
  std::vector<ComputedField> computed = {};
  const char* doc = "";
};

/// Creates the view class, publishes it in `m` and returns it.
nb::object declare_view(nb::module_& m, const ViewDecl& decl);

/// A field of a plain query type.
struct QueryField {
  const char* name;
  nb::object type;
  const char* doc = "";
};

struct QueryTypeDecl {
  const char* name;
  const char* doc = "";
  std::vector<QueryField> fields = {};           ///< shown in the schema
  std::vector<QueryField> private_members = {};  ///< kept out of the schema
  std::vector<ComputedField> computed = {};
  const char* source = nullptr;  ///< the member computed fields read; none: the object
};

/// Creates the plain query type, publishes it in `m` and returns it.
nb::object declare_query_type(nb::module_& m, const QueryTypeDecl& decl);

/// Declares a module's views on first use instead of at import, so that a module whose
/// views are never asked for never imports the schema library. `declare` declares them
/// all, reading the records from the module; `names` lists the views it publishes, which
/// `__all__` and dir() show from the start. Reading one of them from the module (module
/// __getattr__) runs the declaration, as does declaring a view elsewhere that mirrors a
/// field typed by one of the module's records.
///
///   declare_views_lazily(m, {"FeatureTransformationType"}, &declare_views);
void declare_views_lazily(nb::module_& m, std::initializer_list<const char*> names,
                          void (*declare)(nb::module_&));

/// Publishes an enumeration in the schema under its own name, described by its doc;
/// returns it.
nb::object schema_enum(nb::handle enum_class);

/// A schema union of views, under `name`.
nb::object schema_union(const char* name, std::initializer_list<nb::handle> views);

}  // namespace zelvora::py
