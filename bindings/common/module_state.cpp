#include "common/module_state.hpp"

namespace nb = nanobind;

namespace zelvora::py {

void release_at_exit(std::function<void()> release) {
  nb::module_::import_("atexit").attr("register")(nb::cpp_function(std::move(release)));
}

}  // namespace zelvora::py
