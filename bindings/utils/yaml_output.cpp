#include "utils/yaml_output.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "zelvora/yaml_writer.hpp"

namespace zelvora::dump {

namespace {

using namespace zelvora::py;
using yaml::Node;

// Deeper data goes to ruamel's path, which answers for it as it does today.
constexpr int kMaxDepth = 100;

// The plain types whose representation the native writer stands in for (text is always
// ruamel's plain text rule: the representer registers it for every document).
constexpr std::size_t kPlainTypes = 7;

struct State {
  Held<nb::tuple> plain_types;        // NoneType, bool, int, float, list, tuple, dict
  Held<nb::tuple> safe_representers;  // the safe representer's functions for them
  Held<nb::str> yaml_representers{"yaml_representers"};
};

ModuleState<State> state{"_zelvora_yaml_output_state"};
Conversions conversions{};

// The objects ruamel's safe representer would keep track of for anchors: each must be met
// once. They are held for the walk, as the representer holds them, so that no address is
// reused by a later object.
struct Walk {
  std::vector<nb::object> kept;
  std::unordered_set<PyObject*> seen;

  bool first_meeting(const nb::object& collection) {
    if (!seen.insert(collection.ptr()).second) return false;
    kept.push_back(collection);
    return true;
  }
};

std::u32string ascii_code_points(std::string_view text) {
  return {text.begin(), text.end()};
}

std::u32string int_text(PyObject* number) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow == 0) return ascii_code_points(std::to_string(value));
  nb::object text = steal_or_throw(PyObject_Str(number));
  return code_points(text.ptr());
}

Node plain(std::string_view text) {
  Node node;
  node.value = ascii_code_points(text);
  return node;
}

bool build(nb::handle data, Node& node, Walk& walk, int depth);

bool build_sequence(const nb::object& sequence, Node& node, Walk& walk, int depth) {
  node.kind = Node::Kind::sequence;
  PyObject* s = sequence.ptr();
  if (PyTuple_CheckExact(s)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s); ++i) {
      if (!build(PyTuple_GET_ITEM(s, i), node.children.emplace_back(), walk, depth + 1))
        return false;
    }
    return true;
  }
  // The list is read as a Python loop reads it: a change during the walk is seen.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(s, i));
    if (!build(item, node.children.emplace_back(), walk, depth + 1)) return false;
  }
  return true;
}

bool build_mapping(const nb::object& mapping, Node& node, Walk& walk, int depth) {
  node.kind = Node::Kind::mapping;
  // The entries as they are now, in the order of their keys' code points (sorted() of
  // the items, whose text keys differ).
  nb::object items = steal_or_throw(PyDict_Items(mapping.ptr()));
  const Py_ssize_t count = PyList_GET_SIZE(items.ptr());
  std::vector<std::pair<std::u32string, nb::object>> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), i);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    if (!PyUnicode_CheckExact(key)) return false;
    entries.emplace_back(code_points(key), nb::borrow(PyTuple_GET_ITEM(item, 1)));
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  node.children.reserve(entries.size() * 2);
  for (auto& [key, value] : entries) {
    Node& key_node = node.children.emplace_back();
    key_node.kind = Node::Kind::text;
    key_node.value = std::move(key);
    if (!build(value, node.children.emplace_back(), walk, depth + 1)) return false;
  }
  return true;
}

// One value as the module's representer takes it: filtered, converted, then written by
// the safe representer's rule for its exact type.
bool build(nb::handle data, Node& node, Walk& walk, int depth) {
  if (depth > kMaxDepth) return false;
  nb::object processed = conversions.format_output_data(conversions.filter_data(data));
  PyObject* p = processed.ptr();
  if (p == Py_None) {
    node = plain("null");
  } else if (PyBool_Check(p)) {
    node = plain(p == Py_True ? "true" : "false");
  } else if (PyLong_CheckExact(p)) {
    node.value = int_text(p);
  } else if (PyFloat_CheckExact(p)) {
    node = plain(yaml::float_text(PyFloat_AS_DOUBLE(p)));
  } else if (PyUnicode_CheckExact(p)) {
    node.kind = Node::Kind::text;
    node.value = code_points(p);
  } else if (PyList_CheckExact(p) || PyTuple_CheckExact(p)) {
    // The safe representer never anchors the empty tuple.
    if (!(PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == 0) && !walk.first_meeting(processed))
      return false;
    return build_sequence(processed, node, walk, depth);
  } else if (PyDict_CheckExact(p)) {
    if (!walk.first_meeting(processed)) return false;
    return build_mapping(processed, node, walk, depth);
  } else {
    return false;
  }
  return true;
}

bool safe_representers_in_place(nb::handle representer) {
  const State& s = *state;
  nb::object registered = nb::getattr(representer, s.yaml_representers, nb::none());
  if (!PyDict_Check(registered.ptr())) return false;
  for (std::size_t i = 0; i < kPlainTypes; ++i) {
    PyObject* found = PyDict_GetItemWithError(registered.ptr(), s.plain_types[i].ptr());
    if (!found && PyErr_Occurred()) throw nb::python_error();
    if (found != s.safe_representers[i].ptr()) return false;
  }
  return true;
}

// A failed conversion is raised again by ruamel's path; an interruption is not retried.
bool is_retried(const nb::python_error& error) {
  return PyErr_GivenExceptionMatches(error.type().ptr(), PyExc_Exception) != 0;
}

}  // namespace

void load_yaml_output(nb::module_& m, Conversions given) {
  conversions = given;
  State& s = state.emplace(m);
  nb::module_ builtins = nb::module_::import_("builtins");
  const std::array<nb::object, kPlainTypes> types = {
      nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(Py_None))),
      builtins.attr("bool"),
      builtins.attr("int"),
      builtins.attr("float"),
      builtins.attr("list"),
      builtins.attr("tuple"),
      builtins.attr("dict")};
  nb::object safe = nb::module_::import_("ruamel.yaml.representer")
                        .attr("SafeRepresenter")
                        .attr("yaml_representers");
  nb::list functions;
  for (const nb::object& type : types) functions.append(safe[type]);
  s.plain_types =
      nb::make_tuple(types[0], types[1], types[2], types[3], types[4], types[5], types[6]);
  s.safe_representers = nb::tuple(functions);
}

namespace {

// The native nodes of one document, or nothing when only ruamel writes it.
std::optional<Node> document_node(nb::handle document) {
  try {
    Node node;
    Walk walk;
    if (build(document, node, walk, 0)) return node;
  } catch (nb::python_error& error) {
    if (!is_retried(error)) throw;
  }
  return std::nullopt;
}

nb::str native_text(std::vector<Node>& nodes, bool starts_stream, bool ends_stream) {
  std::string text;
  {
    nb::gil_scoped_release released;
    text = yaml::write_documents(nodes, starts_stream, ends_stream);
    std::vector<Node>().swap(nodes);
  }
  return steal_or_throw<nb::str>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// ruamel's text of one document in its place in a stream: written between two null
// documents, whose texts are cut off, it gets the "---" and end marker of its place.
nb::str ruamel_document_text(nb::handle document, bool first, bool last,
                             const std::function<nb::str(nb::handle)>& ruamel_text) {
  static constexpr std::string_view before = "null\n", after = "--- null\n...\n";
  nb::list documents;
  if (!first) documents.append(nb::none());
  documents.append(document);
  if (!last) documents.append(nb::none());
  nb::str text = ruamel_text(documents);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  const auto from = static_cast<Py_ssize_t>(first ? 0 : before.size());
  const Py_ssize_t to = length - static_cast<Py_ssize_t>(last ? 0 : after.size());
  nb::str head = steal_or_throw<nb::str>(PyUnicode_Substring(text.ptr(), 0, from));
  nb::str tail = steal_or_throw<nb::str>(PyUnicode_Substring(text.ptr(), to, length));
  if (from > to || !head.equal(to_str(before.substr(0, static_cast<std::size_t>(from)))) ||
      !tail.equal(to_str(after.substr(0, static_cast<std::size_t>(length - to)))))
    throw std::runtime_error(
        "ruamel.yaml wrote the null documents around a document unlike itself");
  return steal_or_throw<nb::str>(PyUnicode_Substring(text.ptr(), from, to));
}

}  // namespace

bool write_stream(nb::handle documents, nb::handle representer,
                  const std::function<nb::str(nb::handle)>& ruamel_text,
                  const std::function<void(const nb::str&)>& sink) {
  if (!safe_representers_in_place(representer)) return false;
  std::vector<Node> pending;  // native documents not written yet
  bool written = false;
  auto write_pending = [&](bool ends_stream) {
    if (pending.empty()) return;
    nb::str text = native_text(pending, !written, ends_stream);
    written = true;
    sink(text);
  };
  // The documents' list is read as a Python loop reads it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(documents.ptr()); ++i) {
    nb::object document = nb::borrow(PyList_GET_ITEM(documents.ptr(), i));
    if (std::optional<Node> node = document_node(document)) {
      pending.push_back(std::move(*node));
      continue;
    }
    const Py_ssize_t count = PyList_GET_SIZE(documents.ptr());
    if (count == 1) return false;
    write_pending(false);
    sink(ruamel_document_text(document, !written, i + 1 >= count, ruamel_text));
    written = true;
  }
  write_pending(true);
  return true;
}

}  // namespace zelvora::dump
