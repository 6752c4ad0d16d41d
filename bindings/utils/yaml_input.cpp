#include "utils/yaml_input.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "utils/yaml_reader.hpp"
#include "zelvora/yaml_structure.hpp"

namespace zelvora::dump {

namespace {

using namespace zelvora::py;

struct State {
  // ruamel.yaml's loader class, and its error
  Held<nb::object> yaml_class, yaml_error;
  Held<nb::object> c_emitter;  // ruamel.yaml's C emitter when its extension is installed, else None
  // the reader's resolver: the base's lookup of the version's resolvers, and its class
  Held<nb::object> base_versioned_resolver, document_resolver;
  // the pure parser's event classes, told apart by exact type
  Held<nb::object> document_start_event, sequence_start_event, mapping_start_event,
      sequence_end_event, mapping_end_event, scalar_event, alias_event;
  // the pure parser's own event getter, and its subclass feeding the structure budget
  Held<nb::object> base_get_event, budgeted_parser;
  // ruamel.yaml's safe constructor, its constructors of tagged numbers and booleans, and
  // its error for a node it cannot construct; the module's checked subclass
  Held<nb::object> safe_constructor, constructor_error, construct_int, construct_float,
      construct_bool, checked_constructor;
  Held<nb::str> resolvers_key{"_document_resolvers"}, anchor{"anchor"}, start_mark{"start_mark"},
      line{"line"}, column{"column"}, safe{"safe"};
};

ModuleState<State> state{"_zelvora_yaml_input_state"};

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
nb::object loads(nb::handle content) {
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

// The implicit resolvers of the version being read, looked up once per resolver. The base
// looks the version up again for every scalar, through caught attribute errors; a
// resolver of the C parser reads one document, so the version never changes under it.
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

}  // namespace

void load_yaml_input(nb::module_& m) {
  State& s = state.emplace(m);
  s.yaml_class = nb::module_::import_("ruamel.yaml").attr("YAML");
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
  nb::module_ constructor = nb::module_::import_("ruamel.yaml.constructor");
  s.safe_constructor = constructor.attr("SafeConstructor");
  s.constructor_error = constructor.attr("ConstructorError");
  nb::object registry = s.safe_constructor.attr("yaml_constructors");
  for (std::size_t i = 0; i < kCheckedScalarTags.size(); ++i)
    s.*kBaseScalarConstructors[i] = registry[nb::str(kCheckedScalarTags[i])];
  load_yaml_reader(m);
  declare_document_resolver(m);
}

void declare_yaml_input_classes(nb::module_& m) {
  declare_checked_constructor(m);
  declare_budgeted_parser(m);
}

nb::object safe_loads_yaml(nb::handle content) {
  return loads(content);
}

}  // namespace zelvora::dump
