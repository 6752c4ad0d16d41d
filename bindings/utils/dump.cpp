// zelvora_analytics_utils.utils.dump: YAML output and input, JSON output.
//
// YAML output walks the data in C++ (yaml_output.cpp): it drops empty mapping entries,
// converts non-plain values (enumerations, decimals, dates, records, ...) to plain data
// and hands the nodes to the core's writer, which writes the text ruamel.yaml writes.
// What only ruamel's representer writes goes through a subclass of its safe
// representer whose per-node hook does the same filtering and conversion, and ruamel's
// own serializer and emitter. JSON output plugs the same conversion into the host's
// JSON encoder.
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
#include "utils/yaml_output.hpp"
#include "utils/yaml_reader.hpp"
#include "zelvora/number_format.hpp"
#include "zelvora/yaml_structure.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

constexpr int kRoundingDecimals = 12;
constexpr int kYamlWidth = 120;
constexpr int kJsonIndent = 2;

struct State {
  // ruamel.yaml
  Held<nb::object> yaml_class, safe_representer, base_represent, base_represent_data, represent_str,
      scalar_node, yaml11_resolver;
  // tags shared by the nodes the representer makes, and the base methods making nodes
  Held<nb::object> tag_class, base_represent_scalar, base_represent_sequence,
      base_represent_mapping;
  Held<nb::dict> shared_tags;
  // the reader's resolver: the base's lookup of the version's resolvers, and its class
  Held<nb::object> base_versioned_resolver, document_resolver;
  Held<nb::object> c_emitter;  // ruamel.yaml's C emitter when its extension is installed, else None
  Held<nb::object> yaml_error;
  // the pure parser's event classes, told apart by exact type
  Held<nb::object> document_start_event, sequence_start_event, mapping_start_event,
      sequence_end_event, mapping_end_event, scalar_event, alias_event;
  // the pure parser's own event getter, and its subclass feeding the structure budget
  Held<nb::object> base_get_event, budgeted_parser;
  // json
  Held<nb::object> json_encoder, base_default, json_dumps;
  // standard library and pydantic types
  Held<nb::object> string_io, dataclass_asdict;
  Held<nb::object> decimal_type, date_type, time_type, uuid_type;
  // ruamel.yaml's safe constructor, its constructors of tagged numbers and booleans, and
  // its error for a node it cannot construct
  Held<nb::object> safe_constructor, constructor_error, construct_int, construct_float,
      construct_bool;
  // classes of this module
  Held<nb::object> valid_representer, json_encoder_class, checked_constructor;
  // names and constants, built once
  Held<nb::str> standard_tag_prefix{"tag:yaml.org,2002:"}, resolvers_key{"_document_resolvers"};
  Held<nb::str> value{"value"}, isoformat{"isoformat"}, model_dump{"model_dump"}, asdict{"asdict"},
      dataclass_fields{"__dataclass_fields__"}, items{"items"}, style{"style"}, tolist{"tolist"},
      anchor{"anchor"}, start_mark{"start_mark"}, line{"line"}, column{"column"},
      text_tag{"tag:yaml.org,2002:str"}, single_quoted{"'"}, double_quoted{"\""}, safe{"safe"};
  Held<nb::tuple> implicit_plain;  // (True, False): the resolver's question for a plain scalar
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

nb::object call_method(nb::handle obj, nb::handle name) {
  return steal_or_throw(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

bool is_invalid(nb::handle value) {
  PyObject* v = value.ptr();
  if (v == Py_None) return true;
  if (PyList_CheckExact(v)) return PyList_GET_SIZE(v) == 0;
  if (PyDict_CheckExact(v)) return PyDict_GET_SIZE(v) == 0;
  if (is_plain_leaf(v) || PyFloat_CheckExact(v)) return false;
  // numpy compares element-wise: an array is judged by its plain form.
  if (is_numpy_value(value)) return is_invalid(call_method(value, state->tolist));
  // Other types decide for themselves whether they equal an empty list or mapping.
  return value.equal(nb::list()) || value.equal(nb::dict());
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

nb::object filter_data(nb::handle data) {
  PyObject* d = data.ptr();
  if (PyDict_CheckExact(d)) return filtered_dict(data);
  if (is_plain_leaf(d) || PyFloat_CheckExact(d) || !is_mapping(data)) return nb::borrow(data);
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
  if (is_numpy_value(obj)) {
    // An array becomes nested lists, whose items come back here; a scalar a number.
    nb::object plain = call_method(obj, s.tolist);
    return PyFloat_CheckExact(plain.ptr()) ? rounded_float(plain) : plain;
  }
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

// --- YAML input --------------------------------------------------------------------------

// The scalars whose text the safe constructor parses itself; explicitly tagged, any text
// reaches it ("!!int" alone, "!!float _", "!!bool maybe").
constexpr std::array<const char*, 3> kCheckedScalarTags = {
    "tag:yaml.org,2002:int", "tag:yaml.org,2002:float", "tag:yaml.org,2002:bool"};
constexpr std::array<Held<nb::object> State::*, 3> kBaseScalarConstructors = {
    &State::construct_int, &State::construct_float, &State::construct_bool};

// The safe constructor's own construction of a number or boolean, with a text it cannot
// read reported as its constructor error at the node, as malformed YAML is, instead of
// the index, key or value error of its parsing.
nb::object construct_checked_scalar(std::size_t index, nb::handle self, nb::handle node) {
  try {
    return ((*state).*kBaseScalarConstructors[index])(self, node);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_IndexError) && !error.matches(PyExc_KeyError) &&
        !error.matches(PyExc_ValueError))
      throw;
    const std::string_view tag = kCheckedScalarTags[index];
    const std::string_view kind = tag.substr(tag.rfind(':') + 1);
    nb::object refusal = state->constructor_error(
        nb::arg("problem") = nb::str("failed to construct {} from {!r}")
                                 .format(nb::str(kind.data(), kind.size()), node.attr("value")),
        nb::arg("problem_mark") = node.attr("start_mark"));
    PyException_SetCause(refusal.ptr(), error.value().inc_ref().ptr());
    PyErr_SetObject(state->constructor_error.ptr(), refusal.ptr());
    throw nb::python_error();
  }
}

// --- structure check ---------------------------------------------------------------------
//
// Before a ruamel reader builds anything, the text's event stream goes through the core's
// structure budget: ruamel's C composer recurses without a depth check (a deep text kills
// the process), its pure reader recurses in Python, and its constructor expands aliases.

std::optional<std::string> anchor_of(nb::handle event) {
  nb::object anchor = event.attr(state->anchor);
  if (anchor.is_none()) return std::nullopt;
  return text_bytes(anchor);
}

zelvora::YamlMark mark_of(nb::handle event) {
  const State& s = *state;
  nb::object mark = event.attr(s.start_mark);
  return {nb::cast<std::size_t>(mark.attr(s.line)), nb::cast<std::size_t>(mark.attr(s.column))};
}

void feed_event(zelvora::YamlStructureBudget& budget, nb::handle event) {
  const State& s = *state;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(event.ptr()));
  if (type == s.scalar_event.ptr()) {
    budget.scalar(anchor_of(event));
  } else if (type == s.sequence_start_event.ptr() || type == s.mapping_start_event.ptr()) {
    budget.collection_start(anchor_of(event), mark_of(event));
  } else if (type == s.sequence_end_event.ptr() || type == s.mapping_end_event.ptr()) {
    budget.collection_end();
  } else if (type == s.alias_event.ptr()) {
    budget.alias(anchor_of(event).value_or(std::string()), mark_of(event));
  } else if (type == s.document_start_event.ptr()) {
    budget.document_start();
  }
}

// The pure parser of a load whose text libyaml could not read feeds each event it hands
// to the composer to the load's budget first. The composer pulls events one at a time and
// recurses once per open collection, so it never passes the depth bound; the constructor,
// which expands aliases, starts only after the last event.
thread_local zelvora::YamlStructureBudget* pure_load_budget = nullptr;

nb::object budgeted_get_event(nb::handle self) {
  nb::object event = state->base_get_event(self);
  if (pure_load_budget) {
    try {
      feed_event(*pure_load_budget, event);
    } catch (const zelvora::YamlStructureError& e) {
      raise_structure_error(e);
    }
  }
  return event;
}

nb::object budgeted_pure_load(nb::handle content) {
  const State& s = *state;
  nb::object pure = s.yaml_class(nb::arg("typ") = s.safe, nb::arg("pure") = true);
  pure.attr("Constructor") = s.checked_constructor;
  pure.attr("Parser") = s.budgeted_parser;
  zelvora::YamlStructureBudget budget;
  zelvora::YamlStructureBudget* outer = std::exchange(pure_load_budget, &budget);
  try {
    nb::object data = pure.attr("load")(content);
    pure_load_budget = outer;
    return data;
  } catch (...) {
    pure_load_budget = outer;
    throw;
  }
}

// The safe loader builds plain data only: no tag in the text makes an application object.
// The native reader (yaml_reader.hpp) answers for the documents it covers, which include
// every one the writer writes. Any other text goes to ruamel.yaml: with its C extension
// installed the safe reader parses in C; a text the C parser refuses (it rejects escapes
// of lone surrogates, which the writer produces) is read again by the pure-Python parser,
// whose result or error is the answer. Either runs only on a text within the structure
// budget: the native reader's libyaml pass bounds the text before any ruamel reader runs;
// a text libyaml cannot read goes straight to the pure parser, whose own events are held
// to the same budget.
nb::object safe_loads_yaml(nb::handle content) {
  check_argument_type(content, &PyUnicode_Type, "content", NoneAllowed::no);
  const NativeYamlRead native = read_yaml_natively(content);
  if (native.value) return *native.value;
  const State& s = *state;
  if (!native.libyaml_read) return budgeted_pure_load(content);
  nb::object reader = s.yaml_class(nb::arg("typ") = s.safe);
  reader.attr("Constructor") = s.checked_constructor;
  if (s.c_emitter.is_none()) return reader.attr("load")(content);
  reader.attr("Resolver") = s.document_resolver;
  try {
    return reader.attr("load")(content);
  } catch (nb::python_error& e) {
    if (!e.matches(s.yaml_error.ptr())) throw;
  }
  nb::object pure = s.yaml_class(nb::arg("typ") = s.safe, nb::arg("pure") = true);
  pure.attr("Constructor") = s.checked_constructor;
  return pure.attr("load")(content);
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
  s.base_represent_scalar = s.safe_representer.attr("represent_scalar");
  s.base_represent_sequence = s.safe_representer.attr("represent_sequence");
  s.base_represent_mapping = s.safe_representer.attr("represent_mapping");
  s.tag_class = nb::module_::import_("ruamel.yaml.tag").attr("Tag");
  s.scalar_node = nb::module_::import_("ruamel.yaml.nodes").attr("ScalarNode");
  s.implicit_plain = nb::make_tuple(true, false);
  // The C emitter when ruamel.yaml picks it for a safe writer (its extension installed).
  nb::object safe_emitter = s.yaml_class(nb::arg("typ") = s.safe).attr("Emitter");
  nb::object pure_emitter = nb::module_::import_("ruamel.yaml.emitter").attr("Emitter");
  s.c_emitter = safe_emitter.is(pure_emitter) ? nb::none() : safe_emitter;
  s.yaml_error = nb::module_::import_("ruamel.yaml.error").attr("YAMLError");
  nb::module_ events = nb::module_::import_("ruamel.yaml.events");
  s.document_start_event = events.attr("DocumentStartEvent");
  s.sequence_start_event = events.attr("SequenceStartEvent");
  s.mapping_start_event = events.attr("MappingStartEvent");
  s.sequence_end_event = events.attr("SequenceEndEvent");
  s.mapping_end_event = events.attr("MappingEndEvent");
  s.scalar_event = events.attr("ScalarEvent");
  s.alias_event = events.attr("AliasEvent");

  nb::module_ json = nb::module_::import_("json");
  s.json_encoder = json.attr("JSONEncoder");
  s.base_default = s.json_encoder.attr("default");
  s.json_dumps = json.attr("dumps");

  s.string_io = nb::module_::import_("io").attr("StringIO");
  s.dataclass_asdict = nb::module_::import_("dataclasses").attr("asdict");
  nb::module_ datetime = nb::module_::import_("datetime");
  s.decimal_type = nb::module_::import_("decimal").attr("Decimal");
  s.date_type = datetime.attr("date");
  s.time_type = datetime.attr("time");
  s.uuid_type = nb::module_::import_("uuid").attr("UUID");
  m.attr("RuamelSafeRepresenter") = s.safe_representer;  // the base, not part of the API

  nb::module_ constructor = nb::module_::import_("ruamel.yaml.constructor");
  s.safe_constructor = constructor.attr("SafeConstructor");
  s.constructor_error = constructor.attr("ConstructorError");
  nb::object registry = s.safe_constructor.attr("yaml_constructors");
  for (std::size_t i = 0; i < kCheckedScalarTags.size(); ++i)
    s.*kBaseScalarConstructors[i] = registry[nb::str(kCheckedScalarTags[i])];
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

// The implicit resolvers of the version being read, looked up once per resolver. The base
// looks the version up again for every scalar, through caught attribute errors; a
// resolver of the C parser reads one document, and the writer's check reads YAML 1.1
// only, so the version never changes under either.
nb::object document_versioned_resolver(nb::handle self) {
  const State& s = *state;
  nb::object dict = steal_or_throw(PyObject_GenericGetDict(self.ptr(), nullptr));
  if (PyObject* cached = PyDict_GetItemWithError(dict.ptr(), s.resolvers_key.ptr()))
    return nb::borrow(cached);
  if (PyErr_Occurred()) throw nb::python_error();
  nb::object resolvers = s.base_versioned_resolver(self);
  if (PyDict_SetItem(dict.ptr(), s.resolvers_key.ptr(), resolvers.ptr()) < 0)
    throw nb::python_error();
  return resolvers;
}

void declare_document_resolver(nb::module_& m) {
  State& s = *state;
  nb::object versioned = nb::module_::import_("ruamel.yaml.resolver").attr("VersionedResolver");
  s.base_versioned_resolver = versioned.attr("versioned_resolver").attr("fget");
  nb::object property = nb::module_::import_("builtins")
                            .attr("property")(nb::cpp_function(&document_versioned_resolver));
  s.document_resolver = declare_class(
      m, {
             .name = "_DocumentResolver",
             .doc = "Resolver of one document: looks up its version's resolvers once.",
             .bases = {versioned},
             .attributes = {{"versioned_resolver", property}},
         });
  s.yaml11_resolver = s.document_resolver(nb::arg("version") = nb::make_tuple(1, 1));
}

void declare_checked_constructor(nb::module_& m) {
  nb::object cls = declare_class(
      m, {
             .name = "CheckedSafeConstructor",
             .doc = "Safe constructor that reports a tagged number or boolean it cannot read "
                    "as a constructor error at the node.",
             .bases = {state->safe_constructor},
         });
  // add_constructor gives the class its own copy of the registry.
  for (std::size_t i = 0; i < kCheckedScalarTags.size(); ++i)
    cls.attr("add_constructor")(kCheckedScalarTags[i],
                                nb::cpp_function([i](nb::handle self, nb::handle node) {
                                  return construct_checked_scalar(i, self, node);
                                }));
  state->checked_constructor = cls;
}

void declare_budgeted_parser(nb::module_& m) {
  State& s = *state;
  nb::object parser = nb::module_::import_("ruamel.yaml.parser").attr("Parser");
  s.base_get_event = parser.attr("get_event");
  s.budgeted_parser = declare_class(
      m, {
             .name = "_BudgetedParser",
             .doc = "ruamel.yaml's pure parser, holding the events of a load to the bounds "
                    "on nesting depth and alias expansion.",
             .bases = {parser},
             .methods = {method("get_event", &budgeted_get_event,
                                nb::sig("def get_event(self) -> Any"),
                                "The next event, after the load's structure budget took it.")},
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
  load_yaml_reader(m);
  declare_document_resolver(m);
  declare_valid_representer(m);
  zelvora::dump::load_yaml_output(m, {&filter_data, &format_output_data});
  const char* check = std::getenv("ZELVORA_YAML_WRITER_CHECK");
  check_native_text = check && std::string_view(check) == "1";
  declare_checked_constructor(m);
  declare_budgeted_parser(m);
  declare_json_encoder(m);
  declare_functions(m);
}
