#include "common/classes.hpp"
#include "common/module_paths.hpp"

namespace zelvora::py {

nb::object create_class(nb::module_& m, const char* name, const std::vector<nb::handle>& bases,
                        nb::dict ns, nb::handle metaclass) {
  nb::list base_list;
  for (nb::handle base : bases) base_list.append(base);
  nb::handle meta = metaclass;
  if (!meta.is_valid())
    meta = bases.empty() ? nb::handle(api().builtin_type) : bases.front().type();
  nb::object cls = make_class(meta, name, nb::tuple(base_list), std::move(ns));
  publish(m, name, cls);
  return cls;
}

nb::object declare_class(nb::module_& m, const ClassDecl& decl) {
  nb::dict ns = class_namespace(m, decl.name, decl.doc);
  for (const AttributeDecl& a : decl.attributes) ns[a.name] = a.value;
  for (const MethodDecl& md : decl.methods) ns[md.name] = md.callable;
  return create_class(m, decl.name, decl.bases, ns, decl.metaclass);
}

void publish(nb::module_& m, const char* name, nb::handle cls) {
  nb::dict modules = nb::borrow<nb::dict>(nb::module_::import_("sys").attr("modules"));
  if (!modules.contains(module_name(m))) modules[module_name(m)] = m;
  m.attr(name) = cls;
  if (name[0] == '_') return;
  if (!nb::hasattr(m, "__all__")) m.attr("__all__") = nb::list();
  nb::list names = nb::borrow<nb::list>(m.attr("__all__"));
  nb::str published(name);
  if (PySequence_Contains(names.ptr(), published.ptr()) == 0) names.append(published);
}

void describe_module(nb::module_& m, const char* doc) {
  m.doc() = doc;
  if (!nb::hasattr(m, "__all__")) m.attr("__all__") = nb::list();
}

nb::object import_class(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

nb::object record_base() {
  return import_class(module_path::kCoreModel, "CoreModel");
}

}  // namespace zelvora::py
