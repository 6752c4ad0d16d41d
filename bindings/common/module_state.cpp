#include "common/module_state.hpp"

#include <stdexcept>
#include <utility>
#include <vector>

#include "common/module_paths.hpp"

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
    .name = ZELVORA_PACKAGE ".ModuleState",
    .basicsize = sizeof(Holder),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = holder_slots,
};

}  // namespace

namespace {
thread_local std::vector<HeldField>* collecting = nullptr;
}  // namespace

void register_held(const HeldField& field) {
  if (collecting) collecting->push_back(field);
}

HeldCollector::HeldCollector(std::vector<HeldField>& fields)
    : outer_(std::exchange(collecting, &fields)) {}

void HeldCollector::finish() {
  if (!collecting_) return;
  collecting_ = false;
  collecting = outer_;
}

void check_held(const std::vector<HeldField>& fields, const void* state, std::size_t size) {
  const auto* begin = static_cast<const char*>(state);
  std::size_t covered = 0;
  for (const HeldField& field : fields) {
    const auto* at = static_cast<const char*>(field.field);
    if (at < begin || at + field.size > begin + size)
      throw std::logic_error("a Held object outside the module state was built with it");
    covered += field.size;
  }
  if (covered != size)
    throw std::logic_error("every field of a module state must be Held (module_state.hpp)");
}

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
