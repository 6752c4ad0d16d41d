// Declaration of records: pydantic models created at import from a table.
//
// A record declaration reads like the table of its fields:
//
//   nb::object binning = declare_record(m, {
//       .name = "FeatureBinning",
//       .doc = "The binning of one attribute.",
//       .base = record_base(),                 // CoreModel, or the record derived from
//       .fields = {
//           {"attribute", str_type()},         // required
//           {"feature_binning", list_of(bin_union), default_factory(list_type())},
//           {"external_model", dict_of(str_type(), any_type()),
//            default_factory(dict_type()), /*exclude=*/true},
//       },
//       .before_checks = {{"_complete_input", &complete_input}},   // (cls, data) -> data
//       .after_checks = {{"check_naming", &check_naming}},         // (self) -> self
//       .methods = {
//           method("bin_numeric_attribute", &bin_numeric, nb::arg("value").none()),
//           class_method("parse_from_content", &parse, nb::arg("cls"), nb::arg("content")),
//           static_method("_get_number_formatting", &format_number, nb::arg("number")),
//       },
//       .abstract_methods = {"_migrate", "get_external_model_intercept"},
//   });
//
// Fields come after the base record's fields, in table order. A default factory is called
// for every record (a list, a dict, a record class built with no arguments); `exclude`
// keeps a field out of model_dump while still accepting it on input.
//
// Checks: a before check runs on the raw input before any field is validated and returns
// the input to validate; an after check runs on the validated record and returns it. A
// ValueError or AssertionError raised by either surfaces inside pydantic's
// ValidationError; any other error reaches the caller unchanged.
//
// Abstract operations make the record abstract (it derives from abc.ABC as well):
// constructing or validating it fails with the interpreter's TypeError for abstract
// classes, and a derived record becomes constructible once it supplies every operation
// in `.methods`. Reached anyway (a derived operation calling up), an abstract operation
// raises NotImplementedError without a message.
//
// Methods are compiled functions (classes.hpp), which the record base keeps out of the
// fields; names with a leading underscore work too.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "common/classes.hpp"
#include "common/python_api.hpp"

namespace zelvora::py {

/// How a field gets its value when the input has none.
struct Default {
  enum class Kind { required, value, factory };
  Kind kind = Kind::required;
  nb::object object = {};
};

inline Default required() {
  return {};
}
/// A fixed default value (None, a scalar, an enumeration member).
inline Default default_value(nb::object value) {
  return {Default::Kind::value, std::move(value)};
}
inline Default default_none() {
  return default_value(nb::none());
}
/// A callable producing a fresh default for every record (list, dict, a record class).
inline Default default_factory(nb::object factory) {
  return {Default::Kind::factory, std::move(factory)};
}

struct FieldDecl {
  const char* name;
  nb::object type;
  Default default_ = required();
  bool exclude = false;  ///< never written by model_dump, still accepted on input
};

/// Runs on the raw input before any field is validated; returns the input to validate.
using BeforeCheckFn = nb::object (*)(nb::handle cls, nb::handle data);
/// Runs on the validated record; returns the record or raises.
using AfterCheckFn = nb::object (*)(nb::handle self);

struct BeforeCheck {
  const char* name;
  BeforeCheckFn check;
};

struct AfterCheck {
  const char* name;
  AfterCheckFn check;
};

/// An operation a derived record must supply, with its result type as annotation text.
struct AbstractDecl {
  const char* name;
  const char* returns = "None";
};

struct RecordDecl {
  const char* name;
  const char* doc = "";
  nb::handle base;  ///< the record base, or the record this one derives from
  std::vector<FieldDecl> fields = {};
  std::vector<BeforeCheck> before_checks = {};
  std::vector<AfterCheck> after_checks = {};
  std::vector<MethodDecl> methods = {};
  std::vector<AbstractDecl> abstract_methods = {};  ///< operations a derived record must supply
  nb::object config = {};                           ///< model_config, set on the record base only
};

/// Creates the record class, publishes it in `m` and returns it.
nb::object declare_record(nb::module_& m, const RecordDecl& decl);

// Field types, as pydantic (and the query schema, for views) reads them.
nb::object str_type();
nb::object int_type();
nb::object float_type();
nb::object bool_type();
nb::object bytes_type();
nb::object list_type();
nb::object dict_type();
/// datetime.date: validated from a date or an ISO 8601 text.
nb::object date_type();
/// typing.Any: any value, kept as given.
nb::object any_type();
nb::object optional(nb::handle type);
nb::object list_of(nb::handle type);
nb::object dict_of(nb::handle key, nb::handle value);
/// A plain union (typing.Union), `str | int | float`: pydantic keeps the kind of
/// an input that matches a member exactly.
nb::object union_of(std::initializer_list<nb::handle> types);
/// A type restricted to the given values (typing.Literal).
nb::object literal(std::initializer_list<nb::handle> values);
/// A field type with a description: the record's JSON Schema and the field of a view
/// mirroring it show the text.
inline nb::object described(nb::handle type, const char* doc) {
  const PythonApi& a = api();
  return a.typing_annotated[nb::make_tuple(type, a.field(nb::arg("description") = doc))];
}
/// One of `records`, chosen by the value of the field `discriminator`.
nb::object tagged_union(std::initializer_list<nb::handle> records, const char* discriminator);

/// A text-valued enumeration (members compare equal to their texts).
nb::object declare_text_enum(nb::module_& m, const char* name,
                             std::initializer_list<std::pair<const char*, const char*>> members,
                             const char* doc = "");

}  // namespace zelvora::py
