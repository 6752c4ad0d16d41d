#include "common/signed_function.hpp"

#include "common/conversions.hpp"
#include "common/python_api.hpp"

namespace zelvora::py {
namespace {

struct SignedFunction {
  nb::object target;
};

// The awaitable of an already known result: its iterator stops at once with the value.
struct ReadyAwaitable {
  nb::object value;
};

int ready_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  Py_VISIT(nb::inst_ptr<ReadyAwaitable>(self)->value.ptr());
  return 0;
}

int ready_clear(PyObject* self) {
  nb::inst_ptr<ReadyAwaitable>(self)->value.reset();
  return 0;
}

PyType_Slot ready_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(ready_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(ready_clear)},
                             {0, nullptr}};

int signed_function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  const SignedFunction* f = nb::inst_ptr<SignedFunction>(self);
  Py_VISIT(f->target.ptr());
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict) Py_VISIT(*dict);
  return 0;
}

int signed_function_clear(PyObject* self) {
  SignedFunction* f = nb::inst_ptr<SignedFunction>(self);
  f->target.reset();
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict) Py_CLEAR(*dict);
  return 0;
}

PyType_Slot signed_function_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(signed_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(signed_function_clear)},
    {0, nullptr}};

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

}  // namespace

void register_signed_function_type(nb::module_& m) {
  nb::class_<SignedFunction>(m, "compiled_function", nb::dynamic_attr(),
                             nb::type_slots(signed_function_slots),
                             "A compiled function with an inspectable signature.")
      .def("__call__", [](const SignedFunction& f, nb::args args,
                          nb::kwargs kwargs) { return f.target(*args, **kwargs); })
      .def(
          "__get__",
          [](nb::handle self, nb::handle instance, nb::handle) -> nb::object {
            if (instance.is_none()) return nb::borrow(self);
            return api().method_type(self, instance);
          },
          nb::arg("instance").none(), nb::arg("owner").none() = nb::none());

  nb::class_<ReadyAwaitable>(m, "ready_awaitable", nb::type_slots(ready_slots),
                             "An awaitable whose result is already known.")
      .def("__await__", [](nb::handle self) { return nb::borrow(self); })
      .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__next__", [](ReadyAwaitable& r) -> nb::object {
        // StopIteration(value) built explicitly: a tuple value must not become its args.
        nb::object stop = steal_or_throw(PyObject_CallOneArg(PyExc_StopIteration, r.value.ptr()));
        PyErr_SetObject(PyExc_StopIteration, stop.ptr());
        throw nb::python_error();
      });
}

void mark_coroutine_function(nb::handle f) {
  const PythonApi& a = api();
  if (!a.mark_coroutine.is_none()) {
    a.mark_coroutine(f);
  } else {
    // Before inspect.markcoroutinefunction, asyncio's own marker.
    f.attr("_is_coroutine") = nb::module_::import_("asyncio.coroutines").attr("_is_coroutine");
  }
}

nb::object ready_awaitable(nb::object value) {
  return nb::cast(ReadyAwaitable{std::move(value)});
}

nb::object signed_function(nb::object target, const char* name, const Signature& signature,
                           nb::handle module, const char* doc) {
  nb::object f = nb::cast(SignedFunction{std::move(target)});
  f.attr("__signature__") = make_signature(signature);
  f.attr("__annotations__") = make_annotations(signature);
  f.attr("__name__") = name;
  f.attr("__qualname__") = name;
  f.attr("__module__") = module;
  f.attr("__doc__") = doc;
  return f;
}

std::vector<nb::str> compiled_function_type_names() {
  nb::object plain = nb::cpp_function([] {});
  nb::object method = nb::cpp_function([](nb::handle) {}, nb::is_method());
  nb::handle signed_type = nb::type<SignedFunction>();
  return {nb::borrow<nb::str>(plain.type().attr("__name__")),
          nb::borrow<nb::str>(method.type().attr("__name__")),
          nb::borrow<nb::str>(signed_type.attr("__name__"))};
}

}  // namespace zelvora::py
