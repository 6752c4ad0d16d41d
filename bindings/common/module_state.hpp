// Python references held by a module for the life of the interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zelvora::py {

/// Registers `release` with the interpreter's exit hooks (atexit).
void release_at_exit(std::function<void()> release);

/// A value holding Python references, built at module init and dropped when the
/// interpreter exits: no reference outlives the interpreter, and the classes a module
/// created are freed before nanobind checks for leaks.
template <class T>
class ExitScoped {
 public:
  template <class... Args>
  T& emplace(Args&&... args) {
    value_.emplace(std::forward<Args>(args)...);
    release_at_exit([this] { value_.reset(); });
    return *value_;
  }
  bool has_value() const { return value_.has_value(); }
  T& operator*() { return checked(); }
  T* operator->() { return &checked(); }

 private:
  T& checked() {
    if (!value_)
      throw std::runtime_error("zelvora_analytics_utils: module state is gone (interpreter exit)");
    return *value_;
  }
  std::optional<T> value_;
};

}  // namespace zelvora::py
