// TEMPORARY stand-ins until the shared helpers land in common/.
#pragma once
#include <nanobind/nanobind.h>
#include <vector>
#include "common/python_api.hpp"
#include "common/records.hpp"

namespace zelvora::py {
inline nb::object import_class(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}
inline nb::object any_type() {
  return nb::module_::import_("typing").attr("Any");
}
inline nb::object date_type() {
  return nb::module_::import_("datetime").attr("date");
}
inline nb::object bytes_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type));
}
struct PlainField {
  const char* name;
  nb::object type;
};
struct PlainViewDecl {
  const char* name;
  std::vector<PlainField> fields;
  const char* doc = "";
};
inline nb::object declare_plain_view(nb::module_& m, const PlainViewDecl& d) {
  nb::dict ns = class_namespace(m, d.name, d.doc), ann;
  for (auto& f : d.fields) ann[f.name] = f.type;
  ns["__annotations__"] = ann;
  nb::object cls = make_class(api().builtin_type, d.name, nb::tuple(), ns);
  nb::object view = nb::module_::import_("strawberry").attr("type")(cls);
  publish(m, d.name, view);
  return view;
}
}  // namespace zelvora::py
