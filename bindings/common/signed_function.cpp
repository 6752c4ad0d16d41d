#include "common/signed_function.hpp"

#include "common/conversions.hpp"
#include "common/module_paths.hpp"
#include "common/python_api.hpp"

#include <cstddef>
#include <string>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace zelvora::py {
namespace {

constexpr const char* kTypeModule = module_path::kCoreModel;

// A plain type, not a nanobind class: it needs a per-instance vectorcall slot. Calls go
// through vectorcall, and Py_TPFLAGS_METHOD_DESCRIPTOR lets `obj.method(x)` call it with
// `obj` first instead of allocating a bound method per call.
struct SignedFunction {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* target;
  PyObject* dict;
  FastPath fast;
};

SignedFunction* as_signed(PyObject* self) {
  return reinterpret_cast<SignedFunction*>(self);
}

int signed_function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_signed(self)->target);
  Py_VISIT(as_signed(self)->dict);
  return 0;
}

int signed_function_clear(PyObject* self) {
  Py_CLEAR(as_signed(self)->target);
  Py_CLEAR(as_signed(self)->dict);
  return 0;
}

void signed_function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  signed_function_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* signed_function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
  const FastPath& fast = as_signed(self)->fast;
  if (fast.call && PyVectorcall_NARGS(nargsf) == fast.arity &&
      (!kwnames || PyTuple_GET_SIZE(kwnames) == 0))
    return fast.call(args);
  // Owned for the call: the function may be cleared while its target runs.
  nb::object target = nb::borrow(as_signed(self)->target);
  if (!target.is_valid()) {
    PyErr_SetString(PyExc_TypeError, "compiled function is not callable (no target)");
    return nullptr;
  }
  return PyObject_Vectorcall(target.ptr(), args, nargsf, kwnames);
}

// Read on the class: the function itself; on an instance: a method bound to it.
PyObject* signed_function_get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kSizeMember = Py_T_PYSSIZET, kReadOnly = Py_READONLY;
#else
constexpr int kSizeMember = T_PYSSIZET, kReadOnly = READONLY;
#endif

PyMemberDef signed_function_members[] = {
    {"__vectorcalloffset__", kSizeMember,
     static_cast<Py_ssize_t>(offsetof(SignedFunction, vectorcall)), kReadOnly, nullptr},
    {"__dictoffset__", kSizeMember, static_cast<Py_ssize_t>(offsetof(SignedFunction, dict)),
     kReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot signed_function_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(signed_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(signed_function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(signed_function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(signed_function_get)},
    {Py_tp_members, signed_function_members},
    {Py_tp_doc, const_cast<char*>("A compiled function with an inspectable signature.")},
    {0, nullptr}};

PyType_Spec signed_function_spec = {
    .name = ZELVORA_PACKAGE ".utils.core_model.compiled_function",
    .basicsize = sizeof(SignedFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = signed_function_slots,
};

// The type, which the record-base module registers (importing it first if needed).
nb::object signed_function_type() {
  return nb::module_::import_(kTypeModule).attr("compiled_function");
}

bool is_signed_function(nb::handle value, nb::handle type) {
  return Py_IS_TYPE(value.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr()));
}

nb::object make_signature(const Signature& signature) {
  const PythonApi& a = api();
  nb::list parameters;
  for (const Parameter& p : signature.parameters) {
    nb::object annotation = p.annotation.is_valid() ? p.annotation : a.parameter_empty;
    parameters.append(
        a.parameter(p.name, a.positional_or_keyword, nb::arg("annotation") = annotation));
  }
  nb::object returns = signature.returns.is_valid() ? signature.returns : a.parameter_empty;
  return a.signature(parameters, nb::arg("return_annotation") = returns);
}

nb::dict make_annotations(const Signature& signature) {
  nb::dict annotations;
  for (const Parameter& p : signature.parameters) {
    if (p.annotation.is_valid()) annotations[p.name] = p.annotation;
  }
  if (signature.returns.is_valid()) annotations["return"] = signature.returns;
  return annotations;
}

// A list of its own: iterating it runs no code that could change it.
nb::list owned_list(nb::handle sequence) {
  return steal_or_throw<nb::list>(PySequence_List(sequence.ptr()));
}

// The names annotations of compiled functions may use: typing's, a few standard modules,
// then the module's own (the classes it has published so far).
nb::dict annotation_names(nb::handle module) {
  nb::dict names;
  nb::module_ typing = nb::module_::import_("typing");
  for (nb::handle name : owned_list(typing.attr("__all__"))) names[name] = typing.attr(name);
  for (const char* library : {"typing", "io", "os", "datetime", "collections.abc"})
    names[library] = nb::module_::import_(library);
  names["collections"] = nb::module_::import_("collections");
  // What the package's modules loaded so far export (the types of other modules' records).
  nb::dict modules =
      nb::borrow<nb::dict>(nb::module_::import_("sys").attr("modules").attr("copy")());
  for (nb::handle name : modules.keys()) {
    nb::object loaded = modules[name];
    if (!nb::cast<bool>(name.attr("startswith")(ZELVORA_PACKAGE ".")) ||
        !nb::hasattr(loaded, "__all__"))
      continue;
    // Read from the module's dict: reading a view declared lazily would declare it.
    nb::dict published = nb::borrow<nb::dict>(loaded.attr("__dict__"));
    for (nb::handle exported : owned_list(loaded.attr("__all__")))
      if (published.contains(exported)) names[exported] = published[exported];
  }
  if (module.is_valid() && !module.is_none() && modules.contains(module))
    names.update(nb::borrow<nb::dict>(modules[module].attr("__dict__")));
  return names;
}

// An annotation's text evaluated, or the text itself (a forward reference) when it names
// what does not exist yet.
nb::object resolve_annotation(nb::handle annotation, nb::handle names) {
  if (!nb::isinstance<nb::str>(annotation)) return nb::borrow(annotation);
  // nanobind's rendering of a handle parameter or result, which takes any value.
  if (annotation.equal(nb::str("object")) || annotation.equal(nb::str("object | None")))
    return api().typing_any;
  try {
    return nb::module_::import_("builtins").attr("eval")(annotation, names);
  } catch (nb::python_error&) {
    return nb::borrow(annotation);
  }
}

// nanobind renders a default as `\N` (or `\=N`), N indexing its defaults; they
// become names bound to the values.
std::string with_default_names(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '=') ++i;
    out += "__default_";
  }
  return out;
}

// The signature a compiled function presents: its text, compiled as the header of a
// Python function with postponed annotations, then its annotations evaluated.
nb::object compiled_signature(nb::handle compiled, nb::handle module) {
  nb::tuple entry = nb::borrow<nb::tuple>(compiled.attr("__nb_signature__")[0]);
  std::string text = nb::borrow<nb::str>(entry[0]).c_str();
  if (std::size_t line = text.rfind('\n'); line != std::string::npos) text.erase(0, line + 1);
  std::string header = text.substr(text.find('('));
  nb::dict scope;
  if (!entry[2].is_none()) {
    header = with_default_names(header);
    nb::tuple defaults = nb::borrow<nb::tuple>(entry[2]);
    for (std::size_t i = 0; i < defaults.size(); ++i)
      scope[nb::str(("__default_" + std::to_string(i)).c_str())] = defaults[i];
  }
  const std::string source = "def f" + header + ": ...";
  nb::module_ builtins = nb::module_::import_("builtins");
  nb::object flag = nb::module_::import_("__future__").attr("annotations").attr("compiler_flag");
  nb::object code =
      builtins.attr("compile")(nb::str(source.c_str()), "<signature>", "exec", flag, true);
  builtins.attr("exec")(code, scope);
  nb::object signature = nb::module_::import_("inspect").attr("signature")(scope["f"]);

  nb::dict names = annotation_names(module);
  nb::list parameters;
  for (nb::handle p : owned_list(signature.attr("parameters").attr("values")())) {
    nb::object annotation = resolve_annotation(p.attr("annotation"), names);
    parameters.append(p.attr("replace")(nb::arg("annotation") = annotation));
  }
  nb::object returns = resolve_annotation(signature.attr("return_annotation"), names);
  return signature.attr("replace")(nb::arg("parameters") = parameters,
                                   nb::arg("return_annotation") = returns);
}

// Signed functions are instances of a type the record-base module registers.
nb::object new_signed_function(nb::object target) {
  nb::object type = signed_function_type();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
  nb::object f = steal_or_throw(tp->tp_alloc(tp, 0));
  as_signed(f.ptr())->vectorcall = signed_function_vectorcall;
  as_signed(f.ptr())->target = target.release().ptr();
  as_signed(f.ptr())->fast = {};
  return f;
}

nb::dict annotations_of(nb::handle signature) {
  const PythonApi& a = api();
  nb::dict annotations;
  for (nb::handle p : signature.attr("parameters").attr("values")()) {
    nb::object annotation = p.attr("annotation");
    if (!annotation.is(a.parameter_empty)) annotations[p.attr("name")] = annotation;
  }
  nb::object returns = signature.attr("return_annotation");
  if (!returns.is(a.parameter_empty)) annotations["return"] = returns;
  return annotations;
}

}  // namespace

void register_signed_function_type(nb::module_& m) {
  nb::object type = steal_or_throw(PyType_FromSpec(&signed_function_spec));
  nb::dict modules = nb::borrow<nb::dict>(nb::module_::import_("sys").attr("modules"));
  if (!modules.contains(module_name(m))) modules[module_name(m)] = m;
  m.attr("compiled_function") = type;
}

nb::object signed_function(nb::object target, const char* name, const Signature& signature,
                           nb::handle module, const char* doc) {
  nb::object f = new_signed_function(std::move(target));
  f.attr("__signature__") = make_signature(signature);
  f.attr("__annotations__") = make_annotations(signature);
  f.attr("__name__") = name;
  f.attr("__qualname__") = name;
  f.attr("__module__") = module;
  f.attr("__doc__") = doc;
  return f;
}

void set_fast_path(nb::handle f, FastPath fast) {
  as_signed(f.ptr())->fast = fast;
}

nb::object signed_compiled(nb::object compiled, nb::handle module) {
  nb::object signature = compiled_signature(compiled, module);
  nb::object name = compiled.attr("__name__");
  nb::object doc = compiled.attr("__nb_signature__")[0][1];
  nb::object f = new_signed_function(std::move(compiled));
  f.attr("__annotations__") = annotations_of(signature);
  f.attr("__signature__") = signature;
  f.attr("__name__") = name;
  f.attr("__qualname__") = name;
  f.attr("__module__") = module.is_valid() ? nb::borrow(module) : nb::none();
  f.attr("__doc__") = doc.is_none() ? nb::str("") : doc;
  return f;
}

void adopt_methods(nb::dict ns) {
  const PythonApi& a = api();
  if (!ns.contains("__module__") || !ns.contains("__qualname__")) return;
  nb::object type = signed_function_type();
  nb::object module = ns["__module__"];
  nb::object qualname = ns["__qualname__"];
  for (nb::handle key : ns.keys()) {
    nb::object value = ns[key];
    if (nb::isinstance(value, a.staticmethod) || nb::isinstance(value, a.classmethod))
      value = value.attr("__func__");
    if (!is_signed_function(value, type) || !value.attr("__module__").is_none()) continue;
    value.attr("__module__") = module;
    value.attr("__qualname__") = nb::str("{}.{}").format(qualname, key);
  }
}

std::vector<std::string> compiled_function_type_names() {
  nb::object plain = nb::cpp_function([] {});
  nb::object method = nb::cpp_function([](nb::handle) {}, nb::is_method());
  nb::object signed_type = signed_function_type();
  std::vector<std::string> names;
  for (nb::handle type : {plain.type(), method.type(), nb::handle(signed_type)})
    names.push_back(text_bytes(type.attr("__name__")));
  return names;
}

}  // namespace zelvora::py
