#include "common/python_api.hpp"

#include <cstdlib>
#include <string_view>

#include "common/module_state.hpp"
#include "common/signed_function.hpp"

namespace zelvora::py {
namespace {

ModuleState<PythonApi> handles("_zelvora_python_api");

nb::object import_attr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

void load(PythonApi& a) {
  nb::module_ builtins = nb::module_::import_("builtins");
  a.builtin_type = builtins.attr("type");
  a.classmethod = builtins.attr("classmethod");
  a.staticmethod = builtins.attr("staticmethod");
  a.abstract_base = import_attr("abc", "ABC");

  nb::module_ typing = nb::module_::import_("typing");
  a.typing_optional = typing.attr("Optional");
  a.typing_list = typing.attr("List");
  a.typing_dict = typing.attr("Dict");
  a.typing_literal = typing.attr("Literal");
  a.typing_union = typing.attr("Union");
  a.typing_annotated = typing.attr("Annotated");
  a.typing_get_origin = typing.attr("get_origin");
  a.typing_get_args = typing.attr("get_args");
  a.typing_any = typing.attr("Any");
  a.date_type = import_attr("datetime", "date");
  a.enum_type = import_attr("enum", "Enum");
  a.mapping_abc = import_attr("collections.abc", "Mapping");

  nb::module_ inspect = nb::module_::import_("inspect");
  a.signature = inspect.attr("Signature");
  a.parameter = inspect.attr("Parameter");
  a.parameter_empty = a.parameter.attr("empty");
  a.positional_or_keyword = a.parameter.attr("POSITIONAL_OR_KEYWORD");

  nb::module_ pydantic = nb::module_::import_("pydantic");
  a.base_model = pydantic.attr("BaseModel");
  a.field = pydantic.attr("Field");
  a.model_validator = pydantic.attr("model_validator");
  a.config_dict = pydantic.attr("ConfigDict");

  a.get_logger = import_attr("structlog", "get_logger");
}

void load_schema(PythonApi& a) {
  nb::module_ strawberry = nb::module_::import_("strawberry");
  a.strawberry_field = strawberry.attr("field");
  a.strawberry_enum = strawberry.attr("enum");
  a.strawberry_union = strawberry.attr("union");
  a.pydantic_type = import_attr("strawberry.experimental.pydantic", "type");
  a.strawberry_type = strawberry.attr("type");
  a.strawberry_private = strawberry.attr("Private");
  a.strawberry_auto = strawberry.attr("auto");  // last: it marks the set as loaded
}

bool leak_warnings_requested() {
  const char* value = std::getenv("ZELVORA_LEAK_WARNINGS");
  return value && std::string_view(value) == "1";
}

}  // namespace

void load_api(nb::module_& m) {
  nb::set_leak_warnings(leak_warnings_requested());
  load(handles.emplace(m));
}

const PythonApi& api() {
  return *handles;
}

const PythonApi& schema_api() {
  PythonApi& a = *handles;
  if (!a.strawberry_auto.is_valid()) load_schema(a);
  return a;
}

nb::object make_class(nb::handle metaclass, const char* name, nb::tuple bases, nb::dict ns) {
  adopt_methods(ns);
  return metaclass(nb::str(name), bases, ns);
}

nb::str module_name(const nb::module_& m) {
  return nb::borrow<nb::str>(m.attr("__name__"));
}

nb::dict class_namespace(const nb::module_& m, const char* name, const char* doc) {
  nb::dict ns;
  ns["__module__"] = module_name(m);
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  return ns;
}

}  // namespace zelvora::py
