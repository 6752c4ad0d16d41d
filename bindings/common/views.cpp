#include "common/views.hpp"

#include "common/python_api.hpp"
#include "common/records.hpp"
#include "common/signed_function.hpp"

namespace zelvora::py {
namespace {

// The record behind a resolver's parent: the record itself, or the record a view was
// built from (from_pydantic keeps it as `_original_model`).
nb::handle record_of(nb::handle root) {
  if (nb::hasattr(root, "_original_model")) return root.attr("_original_model");
  return root;
}

// Closures hold no Python object: the garbage collector cannot see into them.
nb::object resolver(const ComputedField& field, nb::handle module) {
  ResolveFn resolve = field.resolve;
  nb::object target = nb::cpp_function(
      [resolve](nb::handle root) { return resolve(record_of(root)); }, nb::arg("root").none());
  return signed_function(std::move(target), field.name, {{{"root"}}, field.type}, module,
                         field.doc);
}

}  // namespace

nb::object declare_view(nb::module_& m, const ViewDecl& decl) {
  const PythonApi& a = api();
  nb::dict ns = class_namespace(m, decl.name, decl.doc), annotations;
  for (const char* name : decl.mirrored) annotations[name] = a.strawberry_auto;
  for (const ComputedField& f : decl.computed) {
    annotations[f.name] = f.type;
    ns[f.name] = a.strawberry_field(
        nb::arg("resolver") = resolver(f, ns["__module__"]),
        nb::arg("description") = f.doc[0] ? nb::object(nb::str(f.doc)) : nb::none());
  }
  ns["__annotations__"] = annotations;
  nb::tuple bases = decl.base.is_valid() ? nb::make_tuple(decl.base) : nb::tuple();
  nb::object plain = make_class(a.builtin_type, decl.name, bases, ns);
  nb::object view = a.pydantic_type(nb::arg("model") = decl.record)(plain);
  publish(m, decl.name, view);
  return view;
}

nb::object schema_enum(nb::handle enum_class) {
  return api().strawberry_enum(enum_class);
}

nb::object schema_union(const char* name, std::initializer_list<nb::handle> views) {
  const PythonApi& a = api();
  nb::list members;
  for (nb::handle v : views) members.append(v);
  return a.typing_annotated[nb::make_tuple(a.typing_union[nb::tuple(members)],
                                           a.strawberry_union(name))];
}

}  // namespace zelvora::py
