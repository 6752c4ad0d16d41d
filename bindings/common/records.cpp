#include "common/records.hpp"

#include "common/conversions.hpp"
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
                                 c.name, {{{"cls"}, {"data", any_type()}}, any_type()}, module);
  return a.model_validator(nb::arg("mode") = "before")(a.classmethod(f));
}

nb::object after_validator(const AfterCheck& c, nb::handle module) {
  const PythonApi& a = api();
  nb::object f = signed_function(nb::cpp_function(c.check, nb::arg("self")), c.name,
                                 {{{"self"}}, import_class("typing", "Self")}, module);
  return a.model_validator(nb::arg("mode") = "after")(f);
}

// A signed function, unlike a compiled method, takes the `__isabstractmethod__` mark
// that the abstract-class machinery collects.
nb::object abstract_operation(const AbstractDecl& decl, nb::handle module) {
  const char* name = decl.name;
  nb::object body = nb::cpp_function(
      [](nb::args, nb::kwargs) -> nb::object {
        PyErr_SetNone(PyExc_NotImplementedError);
        throw nb::python_error();
      },
      nb::name(name));
  nb::object f = signed_function(std::move(body), name, {{{"self"}}, nb::str(decl.returns)}, module,
                                 "Abstract operation: a derived record supplies it.");
  f.attr("__isabstractmethod__") = true;
  return f;
}

nb::dict record_namespace(const nb::module_& m, const RecordDecl& decl) {
  nb::dict ns = class_namespace(m, decl.name, decl.doc), annotations;
  if (decl.config.is_valid()) ns["model_config"] = decl.config;
  // Interned: pydantic keys every instance dict by these very names.
  for (const FieldDecl& f : decl.fields) {
    nb::str name = interned(f.name);
    annotations[name] = f.type;
    if (f.default_.kind != Default::Kind::required || f.exclude) ns[name] = field_info(f);
  }
  ns["__annotations__"] = annotations;
  for (const BeforeCheck& c : decl.before_checks)
    ns[c.name] = before_validator(c, ns["__module__"]);
  for (const AfterCheck& c : decl.after_checks) ns[c.name] = after_validator(c, ns["__module__"]);
  for (const MethodDecl& md : decl.methods) ns[md.name] = md.callable;
  for (const AbstractDecl& a : decl.abstract_methods)
    ns[a.name] = abstract_operation(a, ns["__module__"]);
  return ns;
}

// pydantic's __getattr__ serves private attributes and stored extras, and
// otherwise raises the AttributeError that the generic lookup raises in the same words.
// A record with neither gets the generic lookup back: the interpreter then calls
// `record.method(x)` without binding a method object first, and reads fields without
// the detour through __getattr__'s hook. A class that defines its own __getattr__ or
// __getattribute__, or a subclass declared in Python, keeps the slot Python gives it.
void use_generic_lookup(nb::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  if (type->tp_getattro == PyObject_GenericGetAttr) return;
  nb::object getattr = steal_or_throw(PyObject_GetAttrString(cls.ptr(), "__getattr__"));
  nb::object base_getattr = api().base_model.attr("__getattr__");
  nb::object getattribute = steal_or_throw(PyObject_GetAttrString(cls.ptr(), "__getattribute__"));
  nb::object generic =
      nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__getattribute__");
  if (!getattr.is(base_getattr) || !getattribute.is(generic)) return;
  if (PyObject_IsTrue(nb::object(cls.attr("__private_attributes__")).ptr()) != 0) return;
  if (nb::object extra = cls.attr("model_config").attr("get")("extra");
      extra.equal(nb::str("allow")))
    return;
  type->tp_getattro = PyObject_GenericGetAttr;
  PyType_Modified(type);
}

}  // namespace

nb::object declare_record(nb::module_& m, const RecordDecl& decl) {
  std::vector<nb::handle> bases = {decl.base};
  if (!decl.abstract_methods.empty()) bases.push_back(api().abstract_base);
  nb::object cls = create_class(m, decl.name, bases, record_namespace(m, decl));
  use_generic_lookup(cls);
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
nb::object bytes_type() {
  return nb::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type));
}
nb::object date_type() {
  return api().date_type;
}
nb::object any_type() {
  return api().typing_any;
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

namespace {
nb::tuple tuple_of(std::initializer_list<nb::handle> items) {
  nb::list list;
  for (nb::handle item : items) list.append(item);
  return nb::tuple(list);
}
}  // namespace

nb::object union_of(std::initializer_list<nb::handle> types) {
  return api().typing_union[tuple_of(types)];
}

nb::object literal(std::initializer_list<nb::handle> values) {
  return api().typing_literal[tuple_of(values)];
}

nb::object tagged_union(std::initializer_list<nb::handle> records, const char* discriminator) {
  const PythonApi& a = api();
  nb::object union_type = union_of(records);
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
