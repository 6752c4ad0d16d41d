// Python references a module holds for as long as the module lives.
//
// A module's state is kept by a holder object stored in the module's dict. The garbage
// collector sees every reference the state holds and can clear it, and the interpreter
// frees it when it tears the module down: after atexit handlers (which may still import
// the module and call it) and after daemon threads have stopped running Python code, and
// before nanobind checks for leaks. C++ code reaches the state through a plain pointer
// that the holder resets when it lets the state go; access after that raises
// RuntimeError instead of reading freed memory.
//
// A state type declares each field once, as Held<...>; the collector sees them all:
//
//   struct State {
//     Held<nb::object> string_io, bytes_io;
//     Held<nb::str> value{"value"};
//     Held<Logger> logger;
//   };
//
// A field is a Python reference (nb::object, nb::str, ...), a type that lists its own
// `references` (a Logger, BinRecordTypes) or one that visits them itself (`int
// traverse(visit, arg)`). A field that is not Held fails the module's import. The nb::str
// fields are names (keys, attributes): they are interned when built.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace zelvora::py {

namespace nb = nanobind;

namespace detail {

template <class T>
concept ListsReferences = requires {
  T::references;
};

/// A field holding references it visits itself (a cache keyed at run time).
template <class T>
concept TraversesItself = requires(const T& t, visitproc visit, void* arg) {
  { t.traverse(visit, arg) } -> std::same_as<int>;
};

template <class F>
int visit_references(F& field, visitproc visit, void* arg) {
  if constexpr (std::derived_from<F, nb::handle>) {
    return field.ptr() ? visit(field.ptr(), arg) : 0;
  } else if constexpr (TraversesItself<F>) {
    return field.traverse(visit, arg);
  } else {
    static_assert(ListsReferences<F>,
                  "a module state field is a Python reference or lists its "
                  "own `references`");
    int result = 0;
    std::apply(
        [&](auto... member) {
          ((result = result ? result : visit_references(field.*member, visit, arg)), ...);
        },
        F::references);
    return result;
  }
}

// Interns every nb::str field, so that lookups by it meet the interned keys of instance
// dicts and class namespaces by identity.
template <class F>
void intern_names(F& field) {
  if constexpr (std::same_as<F, nb::str>) {
    if (!field.ptr()) return;
    PyObject* text = field.release().ptr();
    PyUnicode_InternInPlace(&text);
    field = nb::steal<nb::str>(text);
  } else if constexpr (ListsReferences<F>) {
    std::apply([&](auto... member) { (intern_names(field.*member), ...); }, F::references);
  }
}

/// A Held field of the state being built: where it is and how the collector visits it.
struct HeldField {
  const void* field;
  std::size_t size;
  int (*visit)(const void* field, visitproc visit, void* arg);
};

/// Records a Held field constructed on this thread while a state is being built.
void register_held(const HeldField& field);

/// Collects the Held fields constructed on this thread from construction to finish().
/// States built inside another's construction collect into their own list.
class HeldCollector {
 public:
  explicit HeldCollector(std::vector<HeldField>& fields);
  ~HeldCollector() { finish(); }
  HeldCollector(const HeldCollector&) = delete;
  HeldCollector& operator=(const HeldCollector&) = delete;
  void finish();

 private:
  std::vector<HeldField>* outer_;
  bool collecting_ = true;
};

/// Throws std::logic_error unless the fields cover the `size` bytes at `state` exactly:
/// a field that is not Held would escape the collector.
void check_held(const std::vector<HeldField>& fields, const void* state, std::size_t size);

/// The type-erased content of a holder.
class StateBox {
 public:
  virtual ~StateBox() = default;
  virtual int traverse(visitproc visit, void* arg) = 0;
};

/// Stores `box` in a new holder object at `key` in the module's dict.
void hold_in_module(nb::module_& m, const char* key, std::unique_ptr<StateBox> box);

}  // namespace detail

/// A field of a module state: a T that the state's holder shows to the collector.
template <class T>
class Held : public T {
 public:
  Held() : T() { enroll(); }
  template <class... Args>
  explicit Held(Args&&... args) : T(std::forward<Args>(args)...) {
    enroll();
  }
  Held(const Held&) = delete;
  // Assignment as to a T, whatever converts to one (an attribute accessor included).
  template <class U>
  Held& operator=(U&& value) {
    static_cast<T&>(*this) = std::forward<U>(value);
    return *this;
  }

 private:
  void enroll() {
    detail::intern_names(static_cast<T&>(*this));
    detail::register_held({static_cast<const T*>(this), sizeof(T), &visit});
  }
  static int visit(const void* field, visitproc visit_one, void* arg) {
    return detail::visit_references(*const_cast<T*>(static_cast<const T*>(field)), visit_one, arg);
  }
};

/// The state of the module being run: built at module init, kept by the module.
template <class T>
class ModuleState {
 public:
  /// `key`: the module attribute holding the state.
  explicit constexpr ModuleState(const char* key = "_zelvora_state") : key_(key) {}
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

  /// Builds the state and hands it to module `m`. A module executed again replaces it.
  template <class... Args>
  T& emplace(nb::module_& m, Args&&... args) {
    auto box = std::make_unique<Box>(current_, std::forward<Args>(args)...);
    T& value = box->value;
    detail::hold_in_module(m, key_, std::move(box));
    return value;
  }
  bool has_value() const { return current_ != nullptr; }
  T& operator*() const { return checked(); }
  T* operator->() const { return &checked(); }

 private:
  class Box final : public detail::StateBox {
   public:
    template <class... Args>
    explicit Box(T*& current, Args&&... args)
        : value(std::forward<Args>(args)...), current_(current) {
      collector_.finish();
      detail::check_held(held_, &value, sizeof(T));
      current_ = &value;
    }
    // The pointer is reset before the references go: code that their release runs finds
    // the state gone, not half freed. A newer state of the same module is left alone.
    ~Box() override {
      if (current_ == &value) current_ = nullptr;
    }
    int traverse(visitproc visit, void* arg) override {
      for (const detail::HeldField& field : held_)
        if (const int result = field.visit(field.field, visit, arg)) return result;
      return 0;
    }

   private:
    // Declared before the value: they collect its fields while it is built.
    std::vector<detail::HeldField> held_;
    detail::HeldCollector collector_{held_};

   public:
    T value;

   private:
    T*& current_;
  };

  T& checked() const {
    if (!current_)
      throw std::runtime_error("zelvora_analytics_utils: module state is gone (module torn down)");
    return *current_;
  }

  const char* key_;
  T* current_ = nullptr;
};

}  // namespace zelvora::py
