#include "common/module_state.hpp"

namespace zelvora::py::detail {
namespace {

// The holder: a collected object owning one state.
struct Holder {
  PyObject_HEAD StateBox* box;
};

StateBox*& box_of(PyObject* self) {
  return reinterpret_cast<Holder*>(self)->box;
}

int holder_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  StateBox* box = box_of(self);
  return box ? box->traverse(visit, arg) : 0;
}

int holder_clear(PyObject* self) {
  // Detached first: releasing the references may run code that reaches this holder.
  std::unique_ptr<StateBox> box(std::exchange(box_of(self), nullptr));
  box.reset();
  return 0;
}

void holder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  holder_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot holder_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(holder_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc)},
    {Py_tp_doc, const_cast<char*>("The Python references of a compiled module.")},
    {0, nullptr}};

PyType_Spec holder_spec = {
    .name = "zelvora_analytics_utils.ModuleState",
    .basicsize = sizeof(Holder),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = holder_slots,
};

}  // namespace

void hold_in_module(nb::module_& m, const char* key, std::unique_ptr<StateBox> box) {
  // Each holder's type is its own: it lives exactly as long as its instances.
  nb::object type = nb::steal(PyType_FromSpec(&holder_spec));
  if (!type.is_valid()) throw nb::python_error();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.ptr());
  nb::object holder = nb::steal(tp->tp_alloc(tp, 0));
  if (!holder.is_valid()) throw nb::python_error();
  box_of(holder.ptr()) = box.release();
  m.attr(key) = holder;
}

}  // namespace zelvora::py::detail
