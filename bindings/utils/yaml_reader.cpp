#include "utils/yaml_reader.hpp"

#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "zelvora/yaml_events.hpp"
#include "zelvora/yaml_structure.hpp"

namespace zelvora::py {

namespace {

struct ReaderState {
  // ruamel's safe constructor returns one NaN object for every NaN it reads, so that NaN
  // keys collide as they do there
  Held<nb::object> nan;
  // ruamel's own timestamp pattern and constructor, base64's decoder
  Held<nb::object> timestamp_match, create_timestamp, decode_base64;
  Held<nb::tuple> no_arguments;
  Held<nb::str> groupdict{"groupdict"};
};

ModuleState<ReaderState> reader_state("_zelvora_yaml_reader_state");

// Thrown where ruamel's loader must answer for the document.
struct NeedsFullReader {};

// Lists and dicts stay out of the garbage collector until the document is complete: a
// collection during the build would walk every container built so far, and none of them
// can be part of a cycle yet (a self-holding anchor goes to ruamel). Every one is tracked
// again when the builder goes, whether the document was finished or not; a dict only when
// it holds a container, as Python's own dicts are.
class UntrackedContainers {
 public:
  UntrackedContainers() = default;
  UntrackedContainers(const UntrackedContainers&) = delete;
  UntrackedContainers& operator=(const UntrackedContainers&) = delete;
  ~UntrackedContainers() {
    for (const auto& [container, holds_containers] : held_) {
      if (holds_containers && !PyObject_GC_IsTracked(container.ptr()))
        PyObject_GC_Track(container.ptr());
    }
  }
  void reserve(std::size_t n) { held_.reserve(n); }
  /// Returns the container's index for `holds_container`.
  std::size_t add(nb::handle container, bool is_list) {
    PyObject_GC_UnTrack(container.ptr());
    held_.emplace_back(nb::borrow(container), is_list);
    return held_.size() - 1;
  }
  // A dict becomes tracked when a container goes into it; it is taken out again.
  void untrack(nb::handle container) { PyObject_GC_UnTrack(container.ptr()); }
  void holds_container(std::size_t index) { held_[index].second = true; }

 private:
  std::vector<std::pair<nb::object, bool>> held_;
};

bool is_container(PyObject* o) {
  return PyList_CheckExact(o) || PyDict_CheckExact(o);
}

// An error of a Python constructor (timestamp, base64) means ruamel's loader fails too; it
// then raises its own.
[[noreturn]] void defer_on_python_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
  PyErr_Clear();
  throw NeedsFullReader{};
}

nb::object checked(PyObject* result) {
  if (!result) defer_on_python_error();
  return nb::steal(result);
}

class ObjectBuilder {
 public:
  explicit ObjectBuilder(const YamlDocument& doc) : doc_(doc), anchors_(doc.anchor_count) {
    containers_.reserve(doc.collection_count);
  }

  nb::object build() {
    nb::object root = nb::none();
    for (const YamlEvent& e : doc_.events) {
      nb::object node;
      switch (e.kind) {
        case YamlEventKind::sequence_start:
        case YamlEventKind::mapping_start:
          open(e);
          continue;
        case YamlEventKind::sequence_end:
        case YamlEventKind::mapping_end:
          node = close();
          break;
        case YamlEventKind::alias:
          node = anchors_[e.anchor - 1];
          break;
        case YamlEventKind::scalar:
          node = scalar(e, !open_.empty() && open_.back().mapping && !open_.back().key);
          if (e.anchor) anchors_[e.anchor - 1] = node;
          break;
      }
      if (open_.empty())
        root = std::move(node);
      else
        attach(std::move(node));
    }
    return root;
  }

 private:
  struct Open {
    nb::object container;
    nb::object key;  ///< a mapping's key waiting for its value
    std::size_t held;
    Py_ssize_t next = 0;
    bool mapping;
  };

  void open(const YamlEvent& e) {
    const bool mapping = e.kind == YamlEventKind::mapping_start;
    nb::object container;
    if (mapping) {
      container = steal_or_throw(PyDict_New());
    } else {
      if (e.count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
      container = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(e.count)));
    }
    const std::size_t held = containers_.add(container, !mapping);
    if (e.anchor) anchors_[e.anchor - 1] = container;
    open_.push_back(
        {.container = std::move(container), .key = {}, .held = held, .mapping = mapping});
  }

  nb::object close() {
    Open closed = std::move(open_.back());
    open_.pop_back();
    if (closed.mapping) containers_.untrack(closed.container);
    return std::move(closed.container);
  }

  void attach(nb::object node) {
    Open& parent = open_.back();
    if (is_container(node.ptr())) containers_.holds_container(parent.held);
    PyObject* c = parent.container.ptr();
    if (!parent.mapping) {
      // The core counted the items; a list never gets more than it holds.
      if (parent.next >= PyList_GET_SIZE(c)) throw std::logic_error("YAML sequence overflow");
      PyList_SET_ITEM(c, parent.next++, node.release().ptr());
      return;
    }
    if (!parent.key) {
      parent.key = std::move(node);
      return;
    }
    // ruamel refuses a repeated key (by Python's equality: 1, 1.0 and true are one key).
    const Py_ssize_t size = PyDict_GET_SIZE(c);
    if (!PyDict_SetDefault(c, parent.key.ptr(), node.ptr())) throw nb::python_error();
    if (PyDict_GET_SIZE(c) == size) throw NeedsFullReader{};
    parent.key.reset();
  }

  nb::object text(std::string_view bytes) {
    return steal_or_throw(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
  }

  // Mapping keys repeat across a document; each distinct short key is made once.
  nb::object key_text(std::string_view bytes) {
    if (bytes.size() > kCachedKeySize) return text(bytes);
    auto [it, added] = keys_.try_emplace(bytes);
    if (added) it->second = text(bytes);
    return it->second;
  }

  nb::object scalar(const YamlEvent& e, bool is_key) {
    const ReaderState& s = *reader_state;
    switch (e.scalar) {
      case YamlScalarKind::text:
        return is_key ? key_text(doc_.text_of(e)) : text(doc_.text_of(e));
      case YamlScalarKind::null:
        return nb::none();
      case YamlScalarKind::boolean:
        return nb::bool_(e.integer != 0);
      case YamlScalarKind::integer:
        return steal_or_throw(PyLong_FromLongLong(e.integer));
      case YamlScalarKind::real:
        return steal_or_throw(PyFloat_FromDouble(e.real));
      case YamlScalarKind::nan:
        return s.nan;
      case YamlScalarKind::big_integer: {
        // Python's int() with its digit limit: a text past it fails in ruamel too.
        const std::string digits(doc_.text_of(e));
        return checked(PyLong_FromString(digits.c_str(), nullptr, e.base));
      }
      case YamlScalarKind::real_text: {
        nb::object parsed = checked(PyFloat_FromString(text(doc_.text_of(e)).ptr()));
        const double x = PyFloat_AS_DOUBLE(parsed.ptr());
        return steal_or_throw(PyFloat_FromDouble(e.negative ? -x : x));
      }
      case YamlScalarKind::timestamp: {
        nb::object match =
            checked(PyObject_CallOneArg(s.timestamp_match.ptr(), text(doc_.text_of(e)).ptr()));
        if (match.is_none()) throw NeedsFullReader{};
        nb::object groups = checked(PyObject_CallMethodNoArgs(match.ptr(), s.groupdict.ptr()));
        return checked(PyObject_Call(s.create_timestamp.ptr(), s.no_arguments.ptr(), groups.ptr()));
      }
      case YamlScalarKind::binary: {
        const std::string_view data = doc_.text_of(e);
        for (char c : data)
          if (static_cast<unsigned char>(c) > 0x7f) throw NeedsFullReader{};
        nb::object bytes = steal_or_throw(
            PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
        return checked(PyObject_CallOneArg(s.decode_base64.ptr(), bytes.ptr()));
      }
    }
    throw std::logic_error("unknown YAML scalar kind");
  }

  static constexpr std::size_t kCachedKeySize = 64;

  const YamlDocument& doc_;
  UntrackedContainers containers_;
  std::vector<nb::object> anchors_;
  std::vector<Open> open_;
  std::unordered_map<std::string_view, nb::object> keys_;
};

// The text's UTF-8, owned by `holder` (the str itself when it is ASCII); nullopt for a str
// that has none (a lone surrogate).
std::optional<std::string_view> owned_utf8(nb::handle content, nb::object& holder) {
  PyObject* t = content.ptr();
  if (PyUnicode_IS_ASCII(t)) {
    holder = nb::borrow(content);
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(t)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(t)));
  }
  PyObject* bytes = PyUnicode_AsUTF8String(t);
  if (!bytes) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
  }
  holder = nb::steal(bytes);
  return std::string_view(PyBytes_AS_STRING(bytes),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

// (True, data) when the native reader answers alone, (False, None) when ruamel's loader
// would: for tests and benchmarks of the reader itself.
nb::tuple native_loads_yaml(nb::handle content) {
  check_argument_type(content, &PyUnicode_Type, "content", NoneAllowed::no);
  NativeYamlRead read = read_yaml_natively(content);
  if (!read.value) return nb::make_tuple(false, nb::none());
  return nb::make_tuple(true, *read.value);
}

}  // namespace

void load_yaml_reader(nb::module_& m) {
  ReaderState& s = reader_state.emplace(m);
  s.nan = nb::float_(std::numeric_limits<double>::quiet_NaN());
  s.timestamp_match =
      nb::module_::import_("ruamel.yaml.util").attr("timestamp_regexp").attr("match");
  s.create_timestamp = nb::module_::import_("ruamel.yaml.util").attr("create_timestamp");
  s.decode_base64 = nb::module_::import_("base64").attr("decodebytes");
  s.no_arguments = nb::tuple();
  def_function(m, "_native_loads_yaml", &native_loads_yaml, nb::arg("content").none(),
               nb::sig("def _native_loads_yaml(content: str) -> tuple[bool, Any]"),
               "The native reader alone: (True, data), or (False, None) where ruamel's safe "
               "loader answers.");
}

void raise_structure_error(const YamlStructureError& e) {
  PyErr_SetString(PyExc_ValueError, e.what());
  throw nb::python_error();
}

NativeYamlRead read_yaml_natively(nb::handle content) {
  nb::object holder;
  const std::optional<std::string_view> utf8 = owned_utf8(content, holder);
  if (!utf8) return {};
  YamlDocument doc;
  try {
    nb::gil_scoped_release released;
    doc = read_yaml_document(*utf8);
  } catch (const YamlStructureError& e) {
    raise_structure_error(e);
  }
  if (doc.outcome == YamlReadOutcome::refused) return {};
  if (doc.outcome == YamlReadOutcome::full_reader) return {.value = {}, .libyaml_read = true};
  try {
    return {.value = ObjectBuilder(doc).build(), .libyaml_read = true};
  } catch (const NeedsFullReader&) {
    return {.value = {}, .libyaml_read = true};
  }
}

}  // namespace zelvora::py
