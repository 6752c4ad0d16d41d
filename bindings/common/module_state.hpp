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
// A state type lists every field in `references`, so that the collector sees them all:
//
//   struct State {
//     nb::object string_io, bytes_io;
//     nb::str value{"value"};
//     static constexpr auto references =
//         std::make_tuple(&State::string_io, &State::bytes_io, &State::value);
//   };
//
// A field is a Python reference (nb::object, nb::str, ...), a type that lists its own
// `references` (a Logger) or one that visits them itself (`int traverse(visit, arg)`). A field
// missing from the list fails the build. The nb::str fields are names (keys, attributes): they are
// interned when the state is built.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zelvora::py {

namespace nb = nanobind;

namespace detail {

template <class C, class M>
M member_type(M C::*);

template <class T>
concept ListsReferences = requires {
  T::references;
};

/// A field holding references it visits itself (a cache keyed at run time).
template <class T>
concept TraversesItself = requires(const T& t, visitproc visit, void* arg) {
  { t.traverse(visit, arg) } -> std::same_as<int>;
};

/// The bytes of the fields `T::references` names: sizeof(T) when every field is listed.
template <ListsReferences T>
constexpr std::size_t listed_size() {
  return std::apply(
      [](auto... member) { return (sizeof(decltype(member_type(member))) + ... + std::size_t{0}); },
      T::references);
}

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

/// The type-erased content of a holder.
class StateBox {
 public:
  virtual ~StateBox() = default;
  virtual int traverse(visitproc visit, void* arg) = 0;
};

/// Stores `box` in a new holder object at `key` in the module's dict.
void hold_in_module(nb::module_& m, const char* key, std::unique_ptr<StateBox> box);

}  // namespace detail

/// The state of the module being run: built at module init, kept by the module.
template <class T>
class ModuleState {
  static_assert(detail::ListsReferences<T>, "a module state lists its fields in `references`");
  static_assert(detail::listed_size<T>() == sizeof(T),
                "every field of a module state must be listed in its `references`");

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
      detail::intern_names(value);
      current_ = &value;
    }
    // The pointer is reset before the references go: code that their release runs finds
    // the state gone, not half freed. A newer state of the same module is left alone.
    ~Box() override {
      if (current_ == &value) current_ = nullptr;
    }
    int traverse(visitproc visit, void* arg) override {
      return detail::visit_references(value, visit, arg);
    }
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
