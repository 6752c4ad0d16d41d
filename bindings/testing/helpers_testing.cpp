// zelvora_analytics_utils._testing: records, views and classes declared through every
// feature of the shared helpers, for the helpers' own tests. Built only with
// ZELVORA_BUILD_TESTING; never shipped.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/signed_function.hpp"
#include "common/views.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

// --- records -----------------------------------------------------------------------

// Renames the input key "title" to "label"; refuses the label "refused-before".
nb::object normalise_input(nb::handle, nb::handle data) {
  if (!PyDict_Check(data.ptr())) return nb::borrow(data);
  nb::dict input = steal_or_throw<nb::dict>(PyDict_Copy(data.ptr()));
  if (input.contains("title")) {
    input["label"] = input["title"];
    PyDict_DelItemString(input.ptr(), "title");
  }
  if (input.contains("label") && nb::object(input["label"]).equal(nb::str("refused-before")))
    throw nb::value_error("refused before validation");
  return input;
}

nb::object check_label(nb::handle self) {
  if (nb::len(nb::object(self.attr("label"))) == 0)
    throw nb::value_error("label must not be empty");
  return nb::borrow(self);
}

nb::object describe_sample(nb::handle self) {
  nb::str label = nb::str(self.attr("label"));
  return steal_or_throw(PyUnicode_FromFormat("%U/%S", label.ptr(), self.attr("value").ptr()));
}

nb::object sample_from_label(nb::handle cls, nb::handle label) {
  return cls(nb::arg("label") = label);
}

nb::object twice(nb::handle number) {
  return steal_or_throw(PyNumber_Multiply(number.ptr(), nb::int_(2).ptr()));
}

nb::object square_area(nb::handle self) {
  nb::object side = self.attr("side");
  return steal_or_throw(PyNumber_Multiply(side.ptr(), side.ptr()));
}

nb::object base_area(nb::handle self) {
  return nb::module_::import_(module_path::kTesting).attr("AbstractShape").attr("area")(self);
}

nb::object shape_summary(nb::handle self) {
  return steal_or_throw(
      PyUnicode_FromFormat("%S: %S", self.attr("name").ptr(), self.attr("area")().ptr()));
}

struct Records {
  nb::object color, item, sample, abstract_shape;
};

Records declare_records(nb::module_& m) {
  Records r;
  r.color = declare_text_enum(m, "Color", {{"RED", "red"}, {"BLUE", "blue"}}, "Two colours.");
  r.item = declare_record(m, {
                                 .name = "Item",
                                 .doc = "A small child record.",
                                 .base = record_base(),
                                 .fields = {{"size", int_type(), default_value(nb::int_(1))}},
                             });
  r.sample = declare_record(
      m,
      {
          .name = "Sample",
          .doc = "A record using every kind of field declaration.",
          .base = record_base(),
          .fields =
              {
                  {"label", str_type()},
                  {"value", union_of({str_type(), int_type(), float_type()}),
                   default_value(nb::int_(0))},
                  {"when", optional(date_type()), default_none()},
                  {"payload", optional(bytes_type()), default_none(), /*exclude=*/true},
                  {"extra", dict_of(str_type(), any_type()), default_factory(dict_type())},
                  {"items", list_of(r.item), default_factory(list_type())},
                  {"child", r.item, default_factory(r.item)},
                  {"color", optional(r.color), default_none()},
              },
          .before_checks = {{"_normalise_input", &normalise_input}},
          .after_checks = {{"check_label", &check_label}},
          .methods =
              {
                  method("describe", &describe_sample),
                  class_method("from_label", &sample_from_label, nb::arg("cls"), nb::arg("label")),
                  static_method("twice", &twice, nb::arg("number")),
              },
      });
  r.abstract_shape =
      declare_record(m, {
                            .name = "AbstractShape",
                            .doc = "A record with abstract operations.",
                            .base = record_base(),
                            .fields = {{"name", str_type(), default_value(nb::str("shape"))}},
                            .methods = {method("summary", &shape_summary)},
                            .abstract_methods = {{"area", "float"}, {"_migrate"}},
                        });
  declare_record(m, {
                        .name = "HalfShape",
                        .doc = "Supplies one of the two abstract operations: still abstract.",
                        .base = r.abstract_shape,
                        .methods = {method("area", &square_area)},
                    });
  declare_record(m, {
                        .name = "Square",
                        .doc = "Supplies every abstract operation.",
                        .base = r.abstract_shape,
                        .fields = {{"side", float_type(), default_value(nb::float_(1.0))}},
                        .methods =
                            {
                                method("area", &square_area),
                                method("_migrate", [](nb::handle) {}),
                                method("base_area", &base_area),
                            },
                    });
  return r;
}

// --- views -------------------------------------------------------------------------

nb::object upper_label(nb::handle record) {
  return record.attr("label").attr("upper")();
}

nb::object key_length(nb::handle entry) {
  return nb::int_(nb::len(nb::object(entry.attr("key"))));
}

void declare_views(nb::module_& m, const Records& r) {
  nb::object color = schema_enum(r.color);
  nb::object item_view = declare_view(
      m, {.name = "ItemType", .record = r.item, .mirrored = {"size"}, .doc = "View of Item."});
  declare_view(
      m, {
             .name = "SampleType",
             .record = r.sample,
             .mirrored = {"label", "child", {"items", list_of(item_view)}, "color"},
             .computed =
                 {
                     computed("upper_label", str_type(), &upper_label, "The label in upper case."),
                     computed_method("described", str_type(), "describe"),
                 },
             .doc = "View of Sample.",
         });
  declare_query_type(m, {
                            .name = "SampleWrapperType",
                            .doc = "Wraps a Sample it keeps privately.",
                            .private_members = {{"sample", r.sample}},
                            .computed =
                                {
                                    computed_method("described", str_type(), "describe"),
                                },
                            .source = "sample",
                        });
  declare_query_type(m, {
                            .name = "EntryType",
                            .doc = "One entry of a mapping.",
                            .fields = {{"key", str_type(), "The entry's key."},
                                       {"value", optional(str_type())},
                                       {"color", color}},
                            .computed = {computed("key_length", int_type(), &key_length)},
                        });
}

// --- classes, imports, errors ------------------------------------------------------

void declare_counter(nb::module_& m) {
  declare_class(
      m,
      {
          .name = "Counter",
          .doc = "A plain class declared from a table.",
          .methods =
              {
                  method(
                      "__init__",
                      [](nb::handle self, nb::handle start) { self.attr("count") = start; },
                      nb::arg("start") = 0),
                  method("increment",
                         [](nb::handle self) {
                           self.attr("count") = steal_or_throw(
                               PyNumber_Add(self.attr("count").ptr(), nb::int_(1).ptr()));
                         }),
                  class_method(
                      "named", [](nb::handle cls) { return cls.attr("__name__"); }, nb::arg("cls")),
              },
          .attributes = {{"unit", nb::str("items")}},
      });
}

nb::object call_with_prefix(const std::string& prefix, nb::handle f) {
  return with_error_prefix([&] { return prefix; }, [&] { return f(); });
}

nb::object raise_builtin_with_prefix(const std::string& prefix, const std::string& kind) {
  return with_error_prefix([&] { return prefix; },
                           [&]() -> nb::object {
                             if (kind == "key") throw nb::key_error("missing");
                             if (kind == "index") throw nb::index_error("too far");
                             throw nb::type_error("wrong kind");
                           });
}

void kind_check(nb::handle value, const std::string& expected) {
  PyTypeObject* kind = expected == "float"  ? &PyFloat_Type
                       : expected == "list" ? &PyList_Type
                                            : &PyUnicode_Type;
  check_kind(value, kind, expected.c_str(), NoneAllowed::yes);
}

// --- module state ------------------------------------------------------------------

struct HeldState {
  Held<nb::object> first, second;
  Held<nb::str> name{"held"};
};

struct HalfHeldState {
  Held<nb::object> kept;
  nb::object forgotten;  // not Held: the collector would not see it
};

ModuleState<HeldState> held_state{"_held_state"};
ModuleState<HalfHeldState> half_held_state{"_half_held_state"};

void hold(nb::module_ target, nb::object first, nb::object second) {
  HeldState& s = held_state.emplace(target);
  s.first = std::move(first);
  s.second = std::move(second);
}

void hold_half(nb::module_ target) {
  half_held_state.emplace(target);
}

void declare_functions(nb::module_& m) {
  m.def("hold", &hold, nb::arg("target"), nb::arg("first"), nb::arg("second"));
  m.def("hold_half", &hold_half, nb::arg("target"));
  m.def("import_class", [](const std::string& module, const std::string& name) {
    return import_class(module.c_str(), name.c_str());
  });
  m.def("call_with_prefix", &call_with_prefix, nb::arg("prefix"), nb::arg("f"));
  m.def("raise_builtin_with_prefix", &raise_builtin_with_prefix, nb::arg("prefix"),
        nb::arg("kind"));
  m.def("check_kind", &kind_check, nb::arg("value").none(), nb::arg("expected"));
}

}  // namespace

NB_MODULE(_testing, m) {
  m.doc() = "Declarations through every helper feature, for tests.";
  load_api(m);
  Records records = declare_records(m);
  declare_views(m, records);
  declare_counter(m);
  declare_functions(m);
}
