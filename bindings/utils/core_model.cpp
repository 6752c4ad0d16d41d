// zelvora_analytics_utils.utils.core_model: the record base of every record.
#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <string>

#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "common/python_api.hpp"
#include "common/record_changes.hpp"
#include "common/records.hpp"
#include "common/signed_function.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct State {
  Held<nb::object> init, setattr, delattr;  // pydantic's own
};

ModuleState<State> state;

// Counts the change once it is made (or failed half way): a lookup computed while the
// assignment runs is invalid after it.
struct CountChange {
  CountChange() = default;
  CountChange(const CountChange&) = delete;
  CountChange& operator=(const CountChange&) = delete;
  ~CountChange() { note_record_change(); }
};

// Running __init__ again on a record replaces all its fields (and its dict) without an
// assignment: counted as one. A record built anew is no change.
void record_init(nb::handle self, nb::args args, nb::kwargs data) {
  PyObject** dict = _PyObject_GetDictPtr(self.ptr());
  const bool again = dict && *dict && PyDict_GET_SIZE(*dict) > 0;
  nb::object init = state->init;
  if (!again) {
    init(self, *args, **data);
    return;
  }
  CountChange counted;
  init(self, *args, **data);
}

// pydantic calls an __init__ of its own marking only for construction, and
// validates everything else (model_validate) without it.
MethodDecl record_init_method() {
  // Positional arguments reach pydantic's __init__, which refuses them in its
  // own words; the signature shows its parameters.
  MethodDecl init = method("__init__", &record_init, nb::arg("args"), nb::arg("data"),
                           nb::sig("def __init__(self, /, **data: Any) -> None"),
                           "Validates the fields given by name.");
  init.callable.attr("__pydantic_base_init__") = true;
  return init;
}

void record_setattr(nb::handle self, nb::handle name, nb::handle value) {
  CountChange counted;
  nb::object setattr = state->setattr;
  setattr(self, name, value);
}

void record_delattr(nb::handle self, nb::handle name) {
  CountChange counted;
  nb::object delattr = state->delattr;
  delattr(self, name);
}

// Membership of CyFunctionDetector: the value's own class is one of the package's
// compiled function types, compared by name (kept as C++ text: a closure holds no Python
// object).
nb::object declare_cy_function_detector(nb::module_& m) {
  nb::object instance_check = nb::cpp_function(
      [names = compiled_function_type_names()](nb::handle, nb::handle instance) {
        const std::string own_name =
            text_bytes(steal_or_throw(PyType_GetName(Py_TYPE(instance.ptr()))));
        return std::ranges::find(names, own_name) != names.end();
      },
      nb::is_method(), nb::name("__instancecheck__"), nb::arg("instance").none());

  nb::object meta =
      declare_class(m, {
                           .name = "_CyFunctionDetectorMeta",
                           .doc = "Metatype whose membership test recognises compiled functions.",
                           .bases = {api().builtin_type},
                           .methods = {{"__instancecheck__", instance_check}},
                       });
  nb::object detector = declare_class(
      m, {
             .name = "CyFunctionDetector",
             .doc = "Marker type: its members are the compiled functions and methods of the "
                    "package.",
             .metaclass = meta,
             .attributes = {{"__slots__", nb::tuple()}},
         });
  return detector;
}

void declare_core_model(nb::module_& m, nb::handle detector) {
  declare_record(
      m,
      {
          .name = "CoreModel",
          .doc = "Base of every record: strict fields, defaults, validation and plain-data form.",
          .base = api().base_model,
          .methods =
              {
                  record_init_method(),
                  method("__setattr__", &record_setattr, nb::arg("name"), nb::arg("value").none(),
                         nb::sig("def __setattr__(self, name: str, value: Any) -> None"),
                         "Assigns an attribute (validated as pydantic does)."),
                  method("__delattr__", &record_delattr, nb::arg("name"),
                         nb::sig("def __delattr__(self, name: str) -> None"),
                         "Deletes an attribute."),
              },
          // JSON of the records' own methods writes infinite bounds and NaN values as
          // Infinity and NaN, as safe_dumps_json does, so that model_validate_json reads
          // back the same record (the default writes null and loses them).
          .config =
              api().config_dict(nb::arg("arbitrary_types_allowed") = true,
                                nb::arg("extra") = "forbid", nb::arg("populate_by_name") = true,
                                nb::arg("ignored_types") = nb::make_tuple(detector),
                                nb::arg("ser_json_inf_nan") = "constants"),
      });
}

}  // namespace

NB_MODULE(core_model, m) {
  describe_module(m, "The record base of every record.");
  load_api(m);
  register_signed_function_type(m);
  publish_record_changes(m);
  State& s = state.emplace(m);
  s.init = api().base_model.attr("__init__");
  s.setattr = api().base_model.attr("__setattr__");
  s.delattr = api().base_model.attr("__delattr__");
  nb::object detector = declare_cy_function_detector(m);
  declare_core_model(m, detector);
}
