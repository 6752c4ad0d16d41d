#include "common/views.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/python_api.hpp"
#include "common/signed_function.hpp"

namespace zelvora::py {
namespace {

// The record behind a resolver's parent: the record itself, or the record a view was
// built from (from_pydantic keeps it as `_original_model`). A record is asked nothing:
// pydantic's __getattr__ would raise and catch an AttributeError on every resolver call.
nb::object record_of(nb::handle root) {
  if (PyObject_TypeCheck(root.ptr(), reinterpret_cast<PyTypeObject*>(api().base_model.ptr())))
    return nb::borrow(root);
  if (nb::hasattr(root, "_original_model")) return root.attr("_original_model");
  return nb::borrow(root);
}

// What a computed field needs at query time, as plain values: closures hold no Python
// object, since the garbage collector cannot see into them.
struct Resolution {
  ResolveFn resolve;
  const char* member;
  bool call_member;
  const char* source;  ///< null: the parent is (or wraps) the record

  nb::object operator()(nb::handle root) const {
    nb::object record = source ? nb::object(root.attr(source)) : record_of(root);
    return resolve       ? resolve(record)
           : call_member ? nb::object(record.attr(member)())
                         : nb::object(record.attr(member));
  }
};

nb::object resolver(const ComputedField& field, nb::handle module, const char* source) {
  const Resolution resolution{field.resolve, field.member, field.call_member, source};
  // The parent comes as `self`, as a method's instance: the resolver is also the method
  // the class shows for the field.
  nb::object target = nb::cpp_function(resolution, nb::arg("self").none());
  nb::object f =
      signed_function(std::move(target), field.name, {{{"self"}}, field.type}, module, field.doc);
  return f;
}

nb::object description(const char* doc) {
  return doc[0] ? nb::object(nb::str(doc)) : nb::none();
}

// A class's doc as its schema description: none when empty or missing.
nb::object doc_description(nb::handle cls) {
  nb::object doc = cls.attr("__doc__");
  int set = PyObject_IsTrue(doc.ptr());
  if (set < 0) throw nb::python_error();
  return set ? doc : nb::none();
}

void add_computed(nb::dict& ns, nb::dict& annotations, const std::vector<ComputedField>& computed,
                  const char* source) {
  const PythonApi& a = schema_api();
  for (const ComputedField& f : computed) {
    annotations[f.name] = f.type;
    ns[f.name] = a.strawberry_field(nb::arg("resolver") = resolver(f, ns["__module__"], source),
                                    nb::arg("description") = description(f.doc));
  }
}

// The class the schema library decorates; only the decorated class is published.
nb::object plain_class(const char* name, nb::handle base, nb::dict ns) {
  nb::tuple bases = base.is_valid() ? nb::make_tuple(base) : nb::tuple();
  return make_class(api().builtin_type, name, bases, std::move(ns));
}

// A module whose views are declared lazily keeps the declaration here until it runs.
constexpr const char* kPendingViews = "_zelvora_pending_views";

// Runs the pending view declaration of a loaded module, if any (once: it is taken out first).
void declare_pending_views(nb::handle module_name) {
  PyObject* module = PyImport_GetModule(module_name.ptr());
  if (!module) {
    if (PyErr_Occurred()) throw nb::python_error();
    return;
  }
  nb::object owned = nb::steal(module);
  if (!PyModule_Check(module)) return;
  nb::handle dict = PyModule_GetDict(module);
  PyObject* pending = PyDict_GetItemString(dict.ptr(), kPendingViews);
  if (!pending) return;
  nb::object declare = nb::borrow(pending);
  if (PyDict_DelItemString(dict.ptr(), kPendingViews) < 0) throw nb::python_error();
  declare();
}

// A view mirroring a field typed by a record of another module needs that record's view:
// the pending declarations of the modules of the classes in the field's type come first.
void declare_views_of(nb::handle type, int depth) {
  if (depth > 16) return;
  if (PyType_Check(type.ptr())) {
    nb::object module = nb::getattr(type, "__module__", nb::none());
    if (PyUnicode_Check(module.ptr())) declare_pending_views(module);
    return;
  }
  for (nb::handle arg : nb::tuple(api().typing_get_args(type))) declare_views_of(arg, depth + 1);
}

void declare_views_of_fields(const ViewDecl& decl) {
  nb::dict fields = nb::borrow<nb::dict>(decl.record.attr("model_fields"));
  for (const Mirrored& f : decl.mirrored)
    if (fields.contains(f.name)) declare_views_of(fields[f.name].attr("annotation"), 0);
}

}  // namespace

void declare_views_lazily(nb::module_& m, std::initializer_list<const char*> names,
                          void (*declare)(nb::module_&)) {
  const std::string module = text_bytes(module_name(m));
  std::vector<std::string> lazy(names.begin(), names.end());
  nb::list all = nb::borrow<nb::list>(m.attr("__all__"));
  for (const std::string& name : lazy) all.append(nb::str(name.c_str()));
  // Closures hold plain values only; the module is looked up when they run.
  const auto module_of = [](const std::string& name) {
    nb::object found = steal_or_throw(PyImport_GetModule(nb::str(name.c_str()).ptr()));
    return nb::borrow<nb::module_>(found);
  };
  m.attr(kPendingViews) = nb::cpp_function([module, lazy, declare, module_of] {
    nb::module_ target = module_of(module);
    declare(target);
    for (const std::string& name : lazy)
      if (!nb::hasattr(target, name.c_str()))
        throw std::logic_error("a lazily declared view was not declared: " + name);
  });
  m.attr("__getattr__") = nb::cpp_function(
      [module, lazy, module_of](nb::str name) -> nb::object {
        nb::module_ target = module_of(module);
        if (std::find(lazy.begin(), lazy.end(), text_bytes(name)) != lazy.end()) {
          declare_pending_views(target.attr("__name__"));
          nb::handle dict = PyModule_GetDict(target.ptr());
          if (PyObject* found = PyDict_GetItemWithError(dict.ptr(), name.ptr()))
            return nb::borrow(found);
          if (PyErr_Occurred()) throw nb::python_error();
        }
        PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", module.c_str(),
                     name.ptr());
        throw nb::python_error();
      },
      nb::arg("name"));
  m.attr("__dir__") = nb::cpp_function([module, lazy, module_of] {
    nb::module_ target = module_of(module);
    nb::object known = steal_or_throw(PySet_New(PyModule_GetDict(target.ptr())));
    for (const std::string& name : lazy)
      if (PySet_Add(known.ptr(), nb::str(name.c_str()).ptr()) < 0) throw nb::python_error();
    nb::object listed = steal_or_throw(PySequence_List(known.ptr()));
    if (PyList_Sort(listed.ptr()) < 0) throw nb::python_error();
    return listed;
  });
}

nb::object declare_view(nb::module_& m, const ViewDecl& decl) {
  declare_views_of_fields(decl);
  const PythonApi& a = schema_api();
  nb::dict ns = class_namespace(m, decl.name, decl.doc), annotations;
  for (const Mirrored& f : decl.mirrored)
    annotations[f.name] = f.type.is_valid() ? f.type : a.strawberry_auto;
  add_computed(ns, annotations, decl.computed, nullptr);
  ns["__annotations__"] = annotations;
  nb::object plain = plain_class(decl.name, decl.base, ns);
  // Mirrored fields take their record field's description from the schema library; the
  // type takes the record's doc unless the view has one.
  nb::object type_doc = decl.doc[0] ? description(decl.doc) : doc_description(decl.record);
  nb::object view =
      a.pydantic_type(nb::arg("model") = decl.record, nb::arg("description") = type_doc)(plain);
  // The schema library rebuilds the class in its own module, with a generated doc.
  view.attr("__module__") = ns["__module__"];
  view.attr("__doc__") = decl.doc;
  publish(m, decl.name, view);
  return view;
}

nb::object declare_query_type(nb::module_& m, const QueryTypeDecl& decl) {
  const PythonApi& a = schema_api();
  nb::dict ns = class_namespace(m, decl.name, decl.doc), annotations;
  // The schema library makes every constructor argument keyword-only; a field that says
  // otherwise is taken by position too, so `ExternalPredictiveModelType(model)` works.
  nb::object dataclass_field = nb::module_::import_("dataclasses").attr("field");
  for (const QueryField& f : decl.fields) {
    annotations[f.name] = f.type;
    nb::object field =
        f.doc[0] ? a.strawberry_field(nb::arg("description") = f.doc) : dataclass_field();
    field.attr("kw_only") = false;
    ns[f.name] = field;
  }
  for (const QueryField& f : decl.private_members) {
    annotations[f.name] = a.strawberry_private[f.type];
    ns[f.name] = dataclass_field(nb::arg("kw_only") = false);
  }
  add_computed(ns, annotations, decl.computed, decl.source);
  ns["__annotations__"] = annotations;
  nb::object type = a.strawberry_type(nb::arg("description") =
                                          description(decl.doc))(plain_class(decl.name, {}, ns));
  type.attr("__doc__") = decl.doc;
  publish(m, decl.name, type);
  return type;
}

nb::object schema_enum(nb::handle enum_class) {
  return schema_api().strawberry_enum(enum_class,
                                      nb::arg("description") = doc_description(enum_class));
}

nb::object schema_union(const char* name, std::initializer_list<nb::handle> views) {
  const PythonApi& a = schema_api();
  nb::list members;
  for (nb::handle v : views) members.append(v);
  return a.typing_annotated[nb::make_tuple(a.typing_union[nb::tuple(members)],
                                           a.strawberry_union(name))];
}

}  // namespace zelvora::py
