#include "common/record_changes.hpp"

#include "common/conversions.hpp"
#include "common/module_paths.hpp"

namespace zelvora::py {
namespace {

constexpr const char* kCapsule = ZELVORA_PACKAGE ".utils.core_model._record_changes";

// Each module links its own copy of this file: only the record-base module's count is
// published, and every module reaches it through the capsule (the extension's storage
// lives as long as the process).
std::uint64_t own_count = 0;
std::uint64_t* shared_count = nullptr;

std::uint64_t& count() {
  if (!shared_count) {
    shared_count = static_cast<std::uint64_t*>(PyCapsule_Import(kCapsule, 0));
    if (!shared_count) throw nb::python_error();
  }
  return *shared_count;
}

}  // namespace

std::uint64_t record_changes() {
  return count();
}

void note_record_change() {
  ++count();
}

void publish_record_changes(nb::module_& m) {
  shared_count = &own_count;
  m.attr("_record_changes") = steal_or_throw(PyCapsule_New(&own_count, kCapsule, nullptr));
}

}  // namespace zelvora::py
