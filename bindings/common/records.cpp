#include "common/records.hpp"

#include "common/signed_function.hpp"

namespace zelvora::py {
namespace {

nb::object field_info(const FieldDecl& f) {
  const PythonApi& a = api();
  nb::kwargs options;
  if (f.default_.kind == Default::Kind::value) options["default"] = f.default_.object;
  if (f.default_.kind == Default::Kind::factory) options["default_factory"] = f.default_.object;
  if (f.exclude) options["exclude"] = true;
  return a.field(**options);
}

nb::object before_validator(const BeforeCheck& c, nb::handle module) {
  const PythonApi& a = api();
  nb::object f = signed_function(nb::cpp_function(c.check, nb::arg("cls"), nb::arg("data").none()),
                                 c.name, {{{"cls"}, {"data"}}}, module);
  return a.model_validator(nb::arg("mode") = "before")(a.classmethod(f));
}

nb::object after_validator(const AfterCheck& c, nb::handle module) {
  const PythonApi& a = api();
  nb::object f =
      signed_function(nb::cpp_function(c.check, nb::arg("self")), c.name, {{{"self"}}}, module);
  return a.model_validator(nb::arg("mode") = "after")(f);
}

nb::object abstract_operation(const char* name) {
  nb::object body = nb::cpp_function(
      [](nb::handle, nb::args, nb::kwargs) -> nb::object {
        PyErr_SetString(PyExc_NotImplementedError, "abstract operation of a record");
        throw nb::python_error();
      },
      nb::is_method(), nb::name(name));
  return api().abstractmethod(body);
}

nb::dict record_namespace(const nb::module_& m, const RecordDecl& decl) {
  nb::dict ns = class_namespace(m, decl.name, decl.doc), annotations;
  if (decl.config.is_valid()) ns["model_config"] = decl.config;
  for (const FieldDecl& f : decl.fields) {
    annotations[f.name] = f.type;
    if (f.default_.kind != Default::Kind::required || f.exclude) ns[f.name] = field_info(f);
  }
  ns["__annotations__"] = annotations;
  for (const BeforeCheck& c : decl.before_checks)
    ns[c.name] = before_validator(c, ns["__module__"]);
  for (const AfterCheck& c : decl.after_checks) ns[c.name] = after_validator(c, ns["__module__"]);
  for (const MethodDecl& md : decl.methods) ns[md.name] = md.callable;
  for (const char* name : decl.abstract_methods) ns[name] = abstract_operation(name);
  return ns;
}

}  // namespace

void publish(nb::module_& m, const char* name, nb::handle cls) {
  nb::dict modules = nb::borrow<nb::dict>(nb::module_::import_("sys").attr("modules"));
  if (!modules.contains(module_name(m))) modules[module_name(m)] = m;
  m.attr(name) = cls;
}

nb::object declare_record(nb::module_& m, const RecordDecl& decl) {
  nb::dict ns = record_namespace(m, decl);
  nb::object cls = make_class(decl.base.type(), decl.name, nb::make_tuple(decl.base), ns);
  publish(m, decl.name, cls);
  return cls;
}

nb::object str_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
}
nb::object int_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
}
nb::object float_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyFloat_Type));
}
nb::object bool_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
}
nb::object list_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyList_Type));
}
nb::object dict_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
}

nb::object optional(nb::handle type) {
  return api().typing_optional[type];
}
nb::object list_of(nb::handle type) {
  return api().typing_list[type];
}
nb::object dict_of(nb::handle key, nb::handle value) {
  return api().typing_dict[nb::make_tuple(key, value)];
}

nb::object literal(std::initializer_list<nb::handle> values) {
  nb::list items;
  for (nb::handle v : values) items.append(v);
  return api().typing_literal[nb::tuple(items)];
}

nb::object tagged_union(std::initializer_list<nb::handle> records, const char* discriminator) {
  const PythonApi& a = api();
  nb::list members;
  for (nb::handle r : records) members.append(r);
  nb::object union_type = a.typing_union[nb::tuple(members)];
  nb::object tag = a.field(nb::arg("discriminator") = discriminator);
  return a.typing_annotated[nb::make_tuple(union_type, tag)];
}

nb::object declare_text_enum(nb::module_& m, const char* name,
                             std::initializer_list<std::pair<const char*, const char*>> members,
                             const char* doc) {
  nb::list pairs;
  for (const auto& [member, value] : members) pairs.append(nb::make_tuple(member, value));
  nb::object cls = api().enum_type(name, pairs, nb::arg("type") = str_type(),
                                   nb::arg("module") = module_name(m), nb::arg("qualname") = name);
  cls.attr("__doc__") = doc;
  publish(m, name, cls);
  return cls;
}

}  // namespace zelvora::py
