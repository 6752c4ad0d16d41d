// zelvora_analytics_utils.utils.dump: YAML output and input, JSON output.
//
// The YAML writer is a subclass of ruamel.yaml's safe representer whose per-node hook
// drops empty mapping entries and converts non-plain values (enumerations, decimals,
// dates, records, ...) to plain data first; ruamel's own serializer and emitter write
// the text. JSON output plugs the same conversion into the host's JSON encoder.
#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <optional>
#include <string_view>
#include <tuple>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "common/python_api.hpp"
#include "common/records.hpp"
#include "zelvora/number_format.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

constexpr int kRoundingDecimals = 12;
constexpr int kYamlWidth = 120;
constexpr int kJsonIndent = 2;

struct State {
  // ruamel.yaml
  nb::object yaml_class, safe_representer, base_represent, base_represent_data, represent_str,
      scalar_node, yaml11_resolver;
  // json
  nb::object json_encoder, base_default, json_dumps;
  // standard library and pydantic types
  nb::object string_io, mapping_abc, dataclass_asdict;
  nb::object decimal_type, date_type, time_type, uuid_type;
  // classes of this module
  nb::object valid_representer, json_encoder_class;
  // names and constants, built once
  nb::str value{"value"}, isoformat{"isoformat"}, model_dump{"model_dump"}, asdict{"asdict"},
      dataclass_fields{"__dataclass_fields__"}, items{"items"}, style{"style"},
      text_tag{"tag:yaml.org,2002:str"}, single_quoted{"'"}, double_quoted{"\""}, safe{"safe"};
  nb::tuple implicit_plain;  // (True, False): the resolver's question for a plain scalar

  static constexpr auto references = std::make_tuple(
      &State::yaml_class, &State::safe_representer, &State::base_represent,
      &State::base_represent_data, &State::represent_str, &State::scalar_node,
      &State::yaml11_resolver, &State::json_encoder, &State::base_default, &State::json_dumps,
      &State::string_io, &State::mapping_abc, &State::dataclass_asdict, &State::decimal_type,
      &State::date_type, &State::time_type, &State::uuid_type, &State::valid_representer,
      &State::json_encoder_class, &State::value, &State::isoformat, &State::model_dump,
      &State::asdict, &State::dataclass_fields, &State::items, &State::style, &State::text_tag,
      &State::single_quoted, &State::double_quoted, &State::safe, &State::implicit_plain);
};

ModuleState<State> state;

// A subclass test without __instancecheck__ hooks: cheap on the per-node path.
bool is_instance_of(PyObject* v, const nb::object& cls) {
  return PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject*>(cls.ptr()));
}

// --- invalid values and filtering ------------------------------------------------------

// Plain values that no conversion rule touches and that are never a mapping.
bool is_plain_leaf(PyObject* v) {
  return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
         PyList_CheckExact(v) || PyTuple_CheckExact(v);
}

bool equals(PyObject* v, nb::handle other) {
  const int equal = PyObject_RichCompareBool(v, other.ptr(), Py_EQ);
  if (equal < 0) throw nb::python_error();
  return equal == 1;
}

bool is_invalid(nb::handle value) {
  PyObject* v = value.ptr();
  if (v == Py_None) return true;
  if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) == 0;
  if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) == 0;
  if (is_plain_leaf(v) || PyFloat_CheckExact(v)) return false;
  // Other types decide for themselves whether they equal an empty list or mapping.
  return equals(v, nb::list()) || equals(v, nb::dict());
}

void keep_if_valid(nb::dict& kept, nb::handle key, nb::handle value) {
  if (is_invalid(value)) return;
  if (PyDict_SetItem(kept.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

// A built-in dict is walked directly. is_invalid may run code of the values' own types,
// so key and value are held while it runs and a change of size stops the walk, as a
// Python loop over the dict would.
nb::dict filtered_dict(nb::handle data) {
  nb::dict kept;
  PyObject* d = data.ptr();
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  Py_ssize_t pos = 0;
  PyObject *k = nullptr, *v = nullptr;
  while (PyDict_Next(d, &pos, &k, &v)) {
    nb::object key = nb::borrow(k), value = nb::borrow(v);
    keep_if_valid(kept, key, value);
    if (PyDict_GET_SIZE(d) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      throw nb::python_error();
    }
  }
  return kept;
}

nb::dict filtered_mapping(nb::handle data) {
  nb::dict kept;
  for (nb::handle item : data.attr(state->items)()) {
    nb::object key = item[0], value = item[1];
    keep_if_valid(kept, key, value);
  }
  return kept;
}

bool is_mapping(PyObject* v) {
  if (PyDict_Check(v)) return true;
  const int found = PyObject_IsInstance(v, state->mapping_abc.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

nb::object filter_data(nb::handle data) {
  PyObject* d = data.ptr();
  if (PyDict_CheckExact(d)) return filtered_dict(data);
  if (is_plain_leaf(d) || PyFloat_CheckExact(d) || !is_mapping(d)) return nb::borrow(data);
  return filtered_mapping(data);
}

// --- value conversion --------------------------------------------------------------------

nb::object rounded_float(nb::handle number) {
  const double x = to_double(number);
  const double r = zelvora::round_to_decimals(x, kRoundingDecimals);
  // An exact float that rounding leaves unchanged (sign of zero included) is reused.
  if (PyFloat_CheckExact(number.ptr()) && (r == x || std::isnan(x)) &&
      std::signbit(r) == std::signbit(x))
    return nb::borrow(number);
  return steal_or_throw(PyFloat_FromDouble(r));
}

nb::object call_method(nb::handle obj, nb::handle name) {
  return steal_or_throw(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

nb::object record_dict(nb::handle record) {
  return record.attr(state->model_dump)(nb::arg("exclude_defaults") = true,
                                        nb::arg("by_alias") = false);
}

// An instance (not the class) of a class made by the dataclass decorator.
bool is_dataclass_object(PyObject* v) {
  return !PyType_Check(v) &&
         nb::hasattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(v))), state->dataclass_fields);
}

nb::object dataclass_dict(nb::handle obj) {
  nb::object own = nb::getattr(obj, state->asdict, nb::none());
  if (PyCallable_Check(own.ptr())) return own();
  return state->dataclass_asdict(obj);
}

// The conversion rules past the plain types, in order. A date-and-time is also a date;
// isoformat gives each its own full form.
nb::object convert_value(nb::handle obj) {
  PyObject* v = obj.ptr();
  const State& s = *state;
  if (is_plain_leaf(v) || PyDict_CheckExact(v)) return nb::borrow(obj);
  if (PyFloat_CheckExact(v)) return rounded_float(obj);
  const PythonApi& a = api();
  if (is_instance_of(v, a.enum_type)) return obj.attr(s.value);
  if (is_instance_of(v, s.decimal_type)) return rounded_float(steal_or_throw(PyNumber_Float(v)));
  if (PyFloat_Check(v)) return rounded_float(obj);
  if (is_instance_of(v, s.date_type) || is_instance_of(v, s.time_type))
    return call_method(obj, s.isoformat);
  if (is_instance_of(v, s.uuid_type)) return steal_or_throw(PyObject_Str(v));
  if (is_instance_of(v, a.base_model)) return record_dict(obj);
  if (PySet_Check(v)) return steal_or_throw(PySequence_List(v));
  if (is_dataclass_object(v)) return dataclass_dict(obj);
  return nb::borrow(obj);
}

nb::object format_output_data(nb::handle obj) {
  PyObject* v = obj.ptr();
  if (is_plain_leaf(v) || PyDict_CheckExact(v)) return nb::borrow(obj);
  if (PyFloat_CheckExact(v)) return rounded_float(obj);
  // A weak reference stands for its referent (None once that is gone).
  if (PyWeakref_CheckRef(v)) return convert_value(steal_or_throw(PyObject_CallNoArgs(v)));
  return convert_value(obj);
}

// --- YAML output -------------------------------------------------------------------------

// Words that a YAML 1.1 reader takes for a boolean or null; YAML 1.2 (the writer's own
// resolver) reads most of them as text and would leave them unquoted.
bool is_yaml11_word(std::string_view text) {
  static constexpr std::array<std::string_view, 25> words = {
      "y",  "Y",    "yes",  "Yes",  "YES",   "n",     "N",     "no", "No",
      "NO", "true", "True", "TRUE", "false", "False", "FALSE", "on", "On",
      "ON", "off",  "Off",  "OFF",  "null",  "Null",  "NULL"};
  for (std::string_view w : words) {
    if (text == w) return true;
  }
  return false;
}

// Whether a YAML 1.1 reader may take the plain text for another kind (number,
// sexagesimal, timestamp, boolean, null, merge or value key). Only texts starting with
// one of the characters of those forms are handed to the library's 1.1 resolver.
bool may_read_as_other_kind_in_yaml11(nb::handle text) {
  PyObject* t = text.ptr();
  if (PyUnicode_GET_LENGTH(t) == 0) return false;  // the emitter always quotes it
  const Py_UCS4 first = PyUnicode_READ_CHAR(t, 0);
  if (first > 0x7f) return false;
  const char c = static_cast<char>(first);
  if (std::string_view("yYnNtTfFoO").find(c) != std::string_view::npos) {
    // The words are ASCII; any other text (a lone surrogate included) is none of them.
    const std::optional<std::string_view> ascii = ascii_view(text);
    return ascii && is_yaml11_word(*ascii);
  }
  if (std::string_view("-+.0123456789<=~").find(c) == std::string_view::npos) return false;
  const State& s = *state;
  nb::object tag = s.yaml11_resolver.attr("resolve")(s.scalar_node, text, s.implicit_plain);
  return !nb::str(tag).equal(s.text_tag);
}

// NEL, LS and PS are line breaks to YAML readers: unescaped inside quotes they are
// folded away, so such text needs the escapes of the double-quoted style.
bool has_unicode_line_break(nb::handle text) {
  PyObject* t = text.ptr();
  if (PyUnicode_IS_ASCII(t)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(t);
  for (Py_UCS4 line_break : {0x85u, 0x2028u, 0x2029u}) {
    const Py_ssize_t at = PyUnicode_FindChar(t, line_break, 0, length, 1);
    if (at == -2) throw nb::python_error();
    if (at >= 0) return true;
  }
  return false;
}

// ruamel writes 1e+17 for the float 1e17, which YAML 1.1 readers take for text;
// "1.0e+17" reads back as the same number under both versions.
void add_point_to_exponent(nb::handle node) {
  nb::object value = node.attr(state->value);
  std::string text(utf8(value));
  const auto e = text.find('e');
  if (e == std::string::npos || text.find('.') != std::string::npos) return;
  text.insert(e, ".0");
  node.attr(state->value) = to_str(text);
}

bool has_exponent_form(double x) {
  const double magnitude = std::fabs(x);
  return std::isfinite(x) && x != 0 && (magnitude < 1e-4 || magnitude >= 1e16);
}

// Keeps the written scalar readable as the same value, by YAML 1.1 readers too.
void keep_readable(nb::handle node, nb::handle value) {
  PyObject* v = value.ptr();
  if (PyUnicode_CheckExact(v)) {
    if (has_unicode_line_break(value))
      node.attr(state->style) = state->double_quoted;
    else if (may_read_as_other_kind_in_yaml11(value))
      node.attr(state->style) = state->single_quoted;
  } else if (PyFloat_CheckExact(v) && has_exponent_form(PyFloat_AS_DOUBLE(v))) {
    add_point_to_exponent(node);
  }
}

// Called by the library for the root, every key, value and item: filter, convert, then
// the safe representer's own representation (which recurses back here).
nb::object represent_data(nb::handle self, nb::handle data) {
  nb::object processed = format_output_data(filter_data(data));
  nb::object node = state->base_represent_data(self, processed);
  keep_readable(node, processed);
  return node;
}

void represent(nb::handle self, nb::handle data) {
  const State& s = *state;
  // Text goes through the safe representer's plain text rule, whatever was registered
  // for it before; the emitter chooses the quoting.
  s.safe_representer.attr("add_representer")(str_type(), s.represent_str);
  s.base_represent(self, nb::arg("data") = data);
}

nb::object make_writer() {
  const State& s = *state;
  nb::object yaml = s.yaml_class();
  yaml.attr("default_flow_style") = false;
  yaml.attr("width") = kYamlWidth;
  yaml.attr("Representer") = s.valid_representer;
  return yaml;
}

// A list (exactly) is a stream of documents; anything else is one document.
nb::list documents_of(nb::handle data) {
  if (PyList_CheckExact(data.ptr())) return nb::borrow<nb::list>(data);
  nb::list one;
  one.append(data);
  return one;
}

void valid_dump_yaml(nb::handle data, nb::handle stream, nb::kwargs kwds) {
  make_writer().attr("dump_all")(documents_of(data), nb::arg("stream") = stream, **kwds);
}

nb::str valid_dumps_yaml(nb::handle data, nb::kwargs kwds) {
  if (kwds.contains("stream"))
    throw nb::type_error("valid_dump_yaml() got multiple values for argument 'stream'");
  nb::object stream = state->string_io();
  valid_dump_yaml(data, stream, steal_or_throw<nb::kwargs>(PyDict_Copy(kwds.ptr())));
  return nb::borrow<nb::str>(stream.attr("getvalue")());
}

// --- YAML input --------------------------------------------------------------------------

// The safe loader builds plain data only: no tag in the text makes an application object.
nb::object safe_loads_yaml(nb::handle content) {
  check_argument_type(content, &PyUnicode_Type, "content", NoneAllowed::no);
  nb::object reader = state->yaml_class(nb::arg("typ") = state->safe);
  return reader.attr("load")(content);
}

// --- JSON output -------------------------------------------------------------------------

nb::object json_default(nb::handle self, nb::handle obj) {
  nb::object converted = format_output_data(obj);
  if (!converted.is(obj)) return converted;
  return state->base_default(self, obj);  // the host's "not JSON serializable" TypeError
}

nb::object safe_dumps_json(nb::handle obj, nb::kwargs kwargs) {
  const State& s = *state;
  if (!kwargs.contains("indent")) kwargs["indent"] = kJsonIndent;
  if (!kwargs.contains("cls")) kwargs["cls"] = s.json_encoder_class;
  return s.json_dumps(obj, **kwargs);
}

// --- module ------------------------------------------------------------------------------

void load_state(nb::module_& m) {
  State& s = state.emplace(m);
  nb::module_ ruamel = nb::module_::import_("ruamel.yaml");
  s.yaml_class = ruamel.attr("YAML");
  s.safe_representer = nb::module_::import_("ruamel.yaml.representer").attr("SafeRepresenter");
  s.base_represent = s.safe_representer.attr("represent");
  s.base_represent_data = s.safe_representer.attr("represent_data");
  s.represent_str = s.safe_representer.attr("represent_str");
  s.scalar_node = nb::module_::import_("ruamel.yaml.nodes").attr("ScalarNode");
  s.yaml11_resolver = nb::module_::import_("ruamel.yaml.resolver")
                          .attr("VersionedResolver")(nb::arg("version") = nb::make_tuple(1, 1));
  s.implicit_plain = nb::make_tuple(true, false);

  nb::module_ json = nb::module_::import_("json");
  s.json_encoder = json.attr("JSONEncoder");
  s.base_default = s.json_encoder.attr("default");
  s.json_dumps = json.attr("dumps");

  s.string_io = nb::module_::import_("io").attr("StringIO");
  s.mapping_abc = nb::module_::import_("collections.abc").attr("Mapping");
  s.dataclass_asdict = nb::module_::import_("dataclasses").attr("asdict");
  nb::module_ datetime = nb::module_::import_("datetime");
  s.decimal_type = nb::module_::import_("decimal").attr("Decimal");
  s.date_type = datetime.attr("date");
  s.time_type = datetime.attr("time");
  s.uuid_type = nb::module_::import_("uuid").attr("UUID");
  publish(m, "RuamelSafeRepresenter", s.safe_representer);
}

void declare_valid_representer(nb::module_& m) {
  state->valid_representer = declare_class(
      m,
      {
          .name = "ValidRepresenter",
          .doc = "Safe representer that leaves out empty mapping entries and writes records, "
                 "enumerations, decimals, dates, UUIDs, sets and data classes as plain data.",
          .bases = {state->safe_representer},
          .methods =
              {
                  method("represent", &represent, nb::arg("data").none(), "Writes one document."),
                  method("represent_data", &represent_data, nb::arg("data").none(),
                         "The YAML node of a value, after filtering and conversion."),
              },
      });
}

void declare_json_encoder(nb::module_& m) {
  state->json_encoder_class = declare_class(
      m, {
             .name = "ZelvoJSONEncoder",
             .doc = "JSON encoder that writes the values JSON cannot carry through the "
                    "plain-data conversion of YAML output.",
             .bases = {state->json_encoder},
             .methods = {method("default", &json_default, nb::arg("obj").none(),
                                "A replacement value for one the encoder cannot encode.")},
         });
}

void declare_functions(nb::module_& m) {
  m.def("format_output_data", &format_output_data, nb::arg("obj").none(),
        "A value converted to plain data for output; the same object when no rule applies.");
  m.def("is_invalid", &is_invalid, nb::arg("value").none(),
        "True for None and for values equal to an empty list or an empty mapping.");
  m.def("filter_data", &filter_data, nb::arg("data").none(),
        "A new mapping without its invalid entries; any other value unchanged.");
  m.def("valid_dump_yaml", &valid_dump_yaml, nb::arg("data").none(), nb::arg("stream").none(),
        nb::arg("kwds"), "Writes data as YAML to a text stream (a list: one document per item).");
  m.def("valid_dumps_yaml", &valid_dumps_yaml, nb::arg("data").none(), nb::arg("kwds"),
        "The YAML text of data.");
  m.def("safe_loads_yaml", &safe_loads_yaml, nb::arg("content").none(),
        "The plain data of a single YAML document.");
  m.def("safe_dumps_json", &safe_dumps_json, nb::arg("obj").none(), nb::arg("kwargs"),
        "The JSON text of obj, indented by 2 unless told otherwise.");
}

}  // namespace

NB_MODULE(dump, m) {
  m.doc() = "YAML and JSON output, YAML input.";
  load_api(m);
  load_state(m);
  declare_valid_representer(m);
  declare_json_encoder(m);
  declare_functions(m);
}
