// Declaration of records: pydantic models created at import from a table.
//
// A record declaration reads like the table of its fields:
//
//   declare_record(m, {
//       .name = "FeatureBinning",
//       .base = core_model,
//       .fields = {
//           {"attribute", str_type()},
//           {"feature_binning", list_of(bin_union), default_factory(list_type())},
//       },
//       .methods = {method("bin_numeric_attribute", &bin_numeric, nb::arg("value"))},
//   });
//
// Checks run before field validation (on the raw input) or after it (on the record);
// methods are compiled functions, which the record base keeps out of the fields.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

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

/// A class attribute holding a compiled function.
struct MethodDecl {
  const char* name;
  nb::object callable;
};

/// An instance method; `f` takes the record (nb::handle) first.
template <class F, class... Extra>
MethodDecl method(const char* name, F&& f, const Extra&... extra) {
  return {name, nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...)};
}

/// A static operation.
template <class F, class... Extra>
MethodDecl static_method(const char* name, F&& f, const Extra&... extra) {
  return {name, api().staticmethod(nb::cpp_function(std::forward<F>(f), nb::name(name), extra...))};
}

/// A class operation; `f` takes the class (nb::handle) first.
template <class F, class... Extra>
MethodDecl class_method(const char* name, F&& f, const Extra&... extra) {
  return {name, api().classmethod(nb::cpp_function(std::forward<F>(f), nb::name(name), extra...))};
}

struct RecordDecl {
  const char* name;
  const char* doc = "";
  nb::handle base;  ///< the record base, or the record this one derives from
  std::vector<FieldDecl> fields = {};
  std::vector<BeforeCheck> before_checks = {};
  std::vector<AfterCheck> after_checks = {};
  std::vector<MethodDecl> methods = {};
  std::vector<const char*> abstract_methods = {};  ///< operations a derived record must supply
  nb::object config = {};                          ///< model_config, set on the record base only
};

/// Creates the record class, publishes it in `m` and returns it.
nb::object declare_record(nb::module_& m, const RecordDecl& decl);

/// Publishes a class under `name` in `m` (and makes the module resolvable by name
/// while it is still initialising).
void publish(nb::module_& m, const char* name, nb::handle cls);

// Field types, as the record library reads them.
nb::object str_type();
nb::object int_type();
nb::object float_type();
nb::object bool_type();
nb::object list_type();
nb::object dict_type();
nb::object optional(nb::handle type);
nb::object list_of(nb::handle type);
nb::object dict_of(nb::handle key, nb::handle value);
/// A type restricted to the given values (typing.Literal).
nb::object literal(std::initializer_list<nb::handle> values);
/// One of `records`, chosen by the value of the field `discriminator`.
nb::object tagged_union(std::initializer_list<nb::handle> records, const char* discriminator);

/// A text-valued enumeration (members compare equal to their texts).
nb::object declare_text_enum(nb::module_& m, const char* name,
                             std::initializer_list<std::pair<const char*, const char*>> members,
                             const char* doc = "");

}  // namespace zelvora::py
