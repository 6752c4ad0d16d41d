#include "common/views.hpp"

#include "common/classes.hpp"
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
  const PythonApi& a = api();
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

}  // namespace

nb::object declare_view(nb::module_& m, const ViewDecl& decl) {
  const PythonApi& a = api();
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
  const PythonApi& a = api();
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
  return api().strawberry_enum(enum_class, nb::arg("description") = doc_description(enum_class));
}

nb::object schema_union(const char* name, std::initializer_list<nb::handle> views) {
  const PythonApi& a = api();
  nb::list members;
  for (nb::handle v : views) members.append(v);
  return a.typing_annotated[nb::make_tuple(a.typing_union[nb::tuple(members)],
                                           a.strawberry_union(name))];
}

}  // namespace zelvora::py
