// zelvora_analytics_utils.utils.dump: YAML output and input, JSON output.
//
// YAML output walks the data in C++ (yaml_output.cpp): it drops empty mapping entries,
// converts non-plain values (enumerations, decimals, dates, records, ...) to plain data
// (plain_data.cpp) and hands the nodes to the core's writer, which writes the text
// ruamel.yaml writes. What only ruamel's representer writes goes through a subclass of
// its safe representer whose per-node hook does the same filtering and conversion, and
// ruamel's own serializer and emitter. JSON output plugs the same conversion into
// Python's JSON encoder. YAML input: yaml_input.cpp.
#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "common/python_api.hpp"
#include "common/records.hpp"
#include "utils/plain_data.hpp"
#include "utils/yaml_input.hpp"
#include "utils/yaml_output.hpp"
#include "zelvora/yaml_writer.hpp"

namespace nb = nanobind;
using namespace zelvora::py;
using zelvora::dump::filter_data;
using zelvora::dump::format_output_data;
using zelvora::dump::is_invalid;
using zelvora::dump::safe_loads_yaml;

namespace {

constexpr int kYamlWidth = 120;
constexpr int kJsonIndent = 2;

struct State {
  // ruamel.yaml's writer class and safe representer, with the base methods overridden
  Held<nb::object> yaml_class, safe_representer, base_represent, base_represent_data, represent_str;
  // tags shared by the nodes the representer makes, and the base methods making nodes
  Held<nb::object> tag_class, base_represent_scalar, base_represent_sequence,
      base_represent_mapping;
  Held<nb::dict> shared_tags;
  // json
  Held<nb::object> json_encoder, base_default, json_dumps;
  Held<nb::object> string_io;
  // classes of this module
  Held<nb::object> valid_representer, json_encoder_class;
  Held<nb::str> standard_tag_prefix{"tag:yaml.org,2002:"}, value{"value"}, style{"style"},
      single_quoted{"'"}, double_quoted{"\""};
};

ModuleState<State> state;

// --- YAML output -------------------------------------------------------------------------

// Keeps the written scalar readable as the same value, by YAML 1.1 readers too: the
// native writer's rules (zelvora/yaml_writer.hpp), applied to ruamel's node.
void keep_readable(nb::handle node, nb::handle value) {
  PyObject* v = value.ptr();
  if (PyUnicode_CheckExact(v)) {
    switch (zelvora::yaml::yaml11_quoting(code_points(value))) {
      case zelvora::yaml::Yaml11Quoting::double_quoted:
        node.attr(state->style) = state->double_quoted;
        break;
      case zelvora::yaml::Yaml11Quoting::single:
        node.attr(state->style) = state->single_quoted;
        break;
      case zelvora::yaml::Yaml11Quoting::none:
        break;
    }
  } else if (PyFloat_CheckExact(v) && zelvora::yaml::has_exponent_form(PyFloat_AS_DOUBLE(v))) {
    nb::object text = node.attr(state->value);
    node.attr(state->value) = to_str(zelvora::yaml::point_before_exponent(std::string(utf8(text))));
  }
}

// Called by ruamel.yaml for the root, every key, value and item: filter, convert, then
// the safe representer's own representation (which recurses back here).
nb::object represent_data(nb::handle self, nb::handle data) {
  nb::object processed = format_output_data(filter_data(data));
  nb::object node = state->base_represent_data(self, processed);
  keep_readable(node, processed);
  return node;
}

// ruamel.yaml makes a tag object from a tag's text for every node, and each decodes the
// text again, character by character, when the node is written. The representer gives
// every node of a standard tag the same tag object, which decodes once.
nb::object shared_tag(nb::handle tag) {
  State& s = *state;
  if (!PyUnicode_CheckExact(tag.ptr())) return nb::borrow(tag);
  if (PyObject* shared = PyDict_GetItemWithError(s.shared_tags.ptr(), tag.ptr()))
    return nb::borrow(shared);
  if (PyErr_Occurred()) throw nb::python_error();
  if (!nb::cast<bool>(tag.attr("startswith")(s.standard_tag_prefix))) return nb::borrow(tag);
  nb::object made = s.tag_class(nb::arg("suffix") = tag);
  if (PyDict_SetItem(s.shared_tags.ptr(), tag.ptr(), made.ptr()) < 0) throw nb::python_error();
  return made;
}

nb::object represent_scalar(nb::handle self, nb::handle tag, nb::handle value, nb::handle style,
                            nb::handle anchor) {
  return state->base_represent_scalar(self, shared_tag(tag), value, style, anchor);
}

nb::object represent_sequence(nb::handle self, nb::handle tag, nb::handle sequence,
                              nb::handle flow_style) {
  return state->base_represent_sequence(self, shared_tag(tag), sequence, flow_style);
}

nb::object represent_mapping(nb::handle self, nb::handle tag, nb::handle mapping,
                             nb::handle flow_style) {
  return state->base_represent_mapping(self, shared_tag(tag), mapping, flow_style);
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

// ruamel.yaml's own writer: the path of documents the native writer leaves to it, and
// the reference the native writer's text is checked against.
void ruamel_dump(nb::handle documents, nb::handle stream, nb::kwargs kwds) {
  make_writer().attr("dump_all")(documents, nb::arg("stream") = stream, **kwds);
}

nb::str ruamel_dumps(nb::handle data) {
  nb::object stream = state->string_io();
  ruamel_dump(documents_of(data), stream, nb::kwargs());
  return nb::borrow<nb::str>(stream.attr("getvalue")());
}

// Written as ruamel's emitter writes: bytes to a stream without an encoding, and
// flushed when the stream can be.
void write_text(nb::handle stream, const nb::str& text) {
  if (nb::hasattr(stream, "encoding"))
    stream.attr("write")(text);
  else
    stream.attr("write")(steal_or_throw(PyUnicode_AsUTF8String(text.ptr())));
  if (nb::hasattr(stream, "flush")) stream.attr("flush")();
}

// Set from the environment (ZELVORA_YAML_WRITER_CHECK=1): every text the native writer
// takes part in is compared with ruamel's, for test runs of the whole suite.
bool check_native_text = false;

// The stream through the native writer, each piece to `sink`; false when ruamel writes
// all of it.
bool native_dump(nb::handle data, const std::function<void(const nb::str&)>& sink) {
  nb::list documents = documents_of(data);
  auto ruamel_text = [](nb::handle some) { return ruamel_dumps(some); };
  if (!check_native_text)
    return zelvora::dump::write_stream(documents, state->valid_representer, ruamel_text, sink);
  nb::list pieces;
  auto keep = [&pieces, &sink](const nb::str& piece) {
    pieces.append(piece);
    sink(piece);
  };
  if (!zelvora::dump::write_stream(documents, state->valid_representer, ruamel_text, keep))
    return false;
  nb::object text = nb::str("").attr("join")(pieces);
  nb::str expected = ruamel_dumps(data);
  if (!expected.equal(text)) {
    nb::str message = nb::str("native YAML writer differs from ruamel.yaml's:\n{!r}\n{!r}")
                          .format(text, expected);
    PyErr_SetObject(PyExc_AssertionError, message.ptr());
    throw nb::python_error();
  }
  return true;
}

void valid_dump_yaml(nb::handle data, nb::handle stream, nb::kwargs kwds) {
  if (PyDict_GET_SIZE(kwds.ptr()) == 0 && nb::hasattr(stream, "write") &&
      native_dump(data, [stream](const nb::str& piece) { write_text(stream, piece); }))
    return;
  ruamel_dump(documents_of(data), stream, kwds);
}

nb::str valid_dumps_yaml(nb::handle data, nb::kwargs kwds) {
  if (kwds.contains("stream"))
    throw nb::type_error("valid_dump_yaml() got multiple values for argument 'stream'");
  if (PyDict_GET_SIZE(kwds.ptr()) == 0) {
    nb::list pieces;
    if (native_dump(data, [&pieces](const nb::str& piece) { pieces.append(piece); })) {
      if (PyList_GET_SIZE(pieces.ptr()) == 1) return nb::borrow<nb::str>(pieces[0]);
      return nb::borrow<nb::str>(nb::str("").attr("join")(pieces));
    }
  }
  nb::object stream = state->string_io();
  ruamel_dump(documents_of(data), stream, steal_or_throw<nb::kwargs>(PyDict_Copy(kwds.ptr())));
  return nb::borrow<nb::str>(stream.attr("getvalue")());
}

// --- JSON output -------------------------------------------------------------------------

nb::object json_default(nb::handle self, nb::handle obj) {
  nb::object converted = format_output_data(obj);
  if (!converted.is(obj)) return converted;
  return state->base_default(self, obj);  // json's own "not JSON serializable" TypeError
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
  s.yaml_class = nb::module_::import_("ruamel.yaml").attr("YAML");
  s.safe_representer = nb::module_::import_("ruamel.yaml.representer").attr("SafeRepresenter");
  s.base_represent = s.safe_representer.attr("represent");
  s.base_represent_data = s.safe_representer.attr("represent_data");
  s.represent_str = s.safe_representer.attr("represent_str");
  s.base_represent_scalar = s.safe_representer.attr("represent_scalar");
  s.base_represent_sequence = s.safe_representer.attr("represent_sequence");
  s.base_represent_mapping = s.safe_representer.attr("represent_mapping");
  s.tag_class = nb::module_::import_("ruamel.yaml.tag").attr("Tag");
  nb::module_ json = nb::module_::import_("json");
  s.json_encoder = json.attr("JSONEncoder");
  s.base_default = s.json_encoder.attr("default");
  s.json_dumps = json.attr("dumps");
  s.string_io = nb::module_::import_("io").attr("StringIO");
  m.attr("RuamelSafeRepresenter") = s.safe_representer;  // the base, not part of the API
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
                  method("represent", &represent, nb::arg("data").none(),
                         nb::sig("def represent(self, data: Any) -> None"), "Writes one document."),
                  method("represent_data", &represent_data, nb::arg("data").none(),
                         nb::sig("def represent_data(self, data: Any) -> Any"),
                         "The YAML node of a value, after filtering and conversion."),
                  method("represent_scalar", &represent_scalar, nb::arg("tag").none(),
                         nb::arg("value").none(), nb::arg("style") = nb::none(),
                         nb::arg("anchor") = nb::none(),
                         nb::sig("def represent_scalar(self, tag: Any, value: Any, style: Any = "
                                 "None, anchor: Any = None) -> Any"),
                         "A scalar node, with the shared object of a standard tag."),
                  method("represent_sequence", &represent_sequence, nb::arg("tag").none(),
                         nb::arg("sequence").none(), nb::arg("flow_style") = nb::none(),
                         nb::sig("def represent_sequence(self, tag: Any, sequence: Any, "
                                 "flow_style: Any = None) -> Any"),
                         "A sequence node, with the shared object of a standard tag."),
                  method("represent_mapping", &represent_mapping, nb::arg("tag").none(),
                         nb::arg("mapping").none(), nb::arg("flow_style") = nb::none(),
                         nb::sig("def represent_mapping(self, tag: Any, mapping: Any, "
                                 "flow_style: Any = None) -> Any"),
                         "A mapping node, with the shared object of a standard tag."),
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
                                nb::sig("def default(self, obj: Any) -> Any"),
                                "A replacement value for one the encoder cannot encode.")},
         });
}

void declare_functions(nb::module_& m) {
  def_function(m, "format_output_data", &format_output_data, nb::arg("obj").none(),
               nb::sig("def format_output_data(obj: Any) -> Any"),
               "A value converted to plain data for output; the same object when no rule "
               "applies.");
  def_function(m, "is_invalid", &is_invalid, nb::arg("value").none(),
               nb::sig("def is_invalid(value: Any) -> bool"),
               "True for None and for values equal to an empty list or an empty mapping.");
  def_function(m, "filter_data", &filter_data, nb::arg("data").none(),
               nb::sig("def filter_data(data: Any) -> Any"),
               "A new mapping without its invalid entries; any other value unchanged.");
  def_function(m, "valid_dump_yaml", &valid_dump_yaml, nb::arg("data").none(),
               nb::arg("stream").none(), nb::arg("kwds"),
               nb::sig("def valid_dump_yaml(data: Any, stream: IO[str], **kwds: Any) -> None"),
               "Writes data as YAML to a text stream (a list: one document per item).");
  def_function(m, "valid_dumps_yaml", &valid_dumps_yaml, nb::arg("data").none(), nb::arg("kwds"),
               nb::sig("def valid_dumps_yaml(data: Any, **kwds: Any) -> str"),
               "The YAML text of data.");
  // Not in the stubs: ruamel.yaml's writer alone, the reference of the native one.
  def_function(m, "_valid_dumps_yaml_ruamel", &ruamel_dumps, nb::arg("data").none(),
               nb::sig("def _valid_dumps_yaml_ruamel(data: Any) -> str"),
               "The YAML text of data as ruamel.yaml's own writer writes it.");
  def_function(m, "safe_loads_yaml", &safe_loads_yaml, nb::arg("content").none(),
               nb::sig("def safe_loads_yaml(content: str) -> Any"),
               "The plain data of a single YAML document.");
  def_function(m, "safe_dumps_json", &safe_dumps_json, nb::arg("obj").none(), nb::arg("kwargs"),
               nb::sig("def safe_dumps_json(obj: Any, **kwargs: Any) -> str"),
               "The JSON text of obj, indented by 2 unless told otherwise.");
}

}  // namespace

NB_MODULE(dump, m) {
  describe_module(m, "YAML and JSON output, YAML input.");
  load_api(m);
  load_state(m);
  zelvora::dump::load_plain_data(m);
  zelvora::dump::load_yaml_input(m);
  declare_valid_representer(m);
  zelvora::dump::load_yaml_output(m, {&filter_data, &format_output_data});
  const char* check = std::getenv("ZELVORA_YAML_WRITER_CHECK");
  check_native_text = check && std::string_view(check) == "1";
  zelvora::dump::declare_yaml_input_classes(m);
  declare_json_encoder(m);
  declare_functions(m);
}
