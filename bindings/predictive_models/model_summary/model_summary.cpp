// zelvora_analytics_utils.predictive_models.model_summary.model_summary: the model
// description, its general notes and attached images, and their query views.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "zelvora/metric_text.hpp"
#include "zelvora/note_keys.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct State {
  Held<nb::object> literal_eval;
  Held<nb::object> attribute_description_type, hyperparameter_type, general_note_type;
  Held<nb::str> general_notes{"general_notes"}, hyperparameters{"hyperparameters"},
      attribute_description{"attribute_description"}, eval_metric{"eval_metric"}, get{"get"},
      write{"write"}, unknown{"unknown"};
};

ModuleState<State> state;

// --- general notes ---------------------------------------------------------------------

bool contains(nb::handle container, nb::handle key) {
  const int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

// Writes one line to the interpreter's current sys.stdout, as print() would; nothing when
// there is no standard output.
void print_line(const nb::str& line) {
  PyObject* out = PySys_GetObject("stdout");
  if (!out || out == Py_None) return;
  nb::object stream = nb::borrow(out);
  stream.attr(state->write)(nb::str("{}\n").format(line));
}

void add_mapped_notes(nb::handle notes, nb::handle note) {
  nb::list keys = steal_or_throw<nb::list>(PySequence_List(note.ptr()));
  for (nb::handle borrowed : keys) {
    nb::object key = nb::borrow(borrowed);
    if (contains(notes, key)) {
      print_line(nb::str("Note {} already exists. Note not added.").format(key));
      continue;
    }
    nb::object text = steal_or_throw(PyObject_GetItem(note.ptr(), key.ptr()));
    if (PyObject_SetItem(notes.ptr(), key.ptr(), text.ptr()) < 0) throw nb::python_error();
  }
}

// A digit of any script as int() reads it (zelvora/note_keys.hpp).
int python_digit(char32_t c) {
  if (!Py_UNICODE_ISNUMERIC(static_cast<Py_UCS4>(c))) return zelvora::kNotNumeric;
  const int digit = Py_UNICODE_TODECIMAL(static_cast<Py_UCS4>(c));
  return digit >= 0 ? digit : zelvora::kNotDecimal;
}

// Stores `text` under "note_<n>", n one above the highest automatic key (1 when none).
// An automatic-looking key without a decimal number fails as int() fails on it.
void add_text_note(nb::handle notes, nb::handle text) {
  nb::list keys = steal_or_throw<nb::list>(PySequence_List(notes.ptr()));
  std::vector<nb::object> texts;
  std::vector<std::u32string> points;
  for (nb::handle key : keys) {
    if (!PyUnicode_Check(key.ptr())) continue;
    texts.push_back(nb::borrow(key));
    points.push_back(code_points(key));
  }
  std::string next;
  try {
    next = zelvora::next_note_key(points, python_digit);
  } catch (const zelvora::NoteNumberError& e) {
    const nb::object& key = texts[e.key];
    nb::object rest = steal_or_throw(PyUnicode_Substring(key.ptr(), zelvora::kNotePrefixLength,
                                                         PyUnicode_GET_LENGTH(key.ptr())));
    steal_or_throw(PyLong_FromUnicodeObject(rest.ptr(), 10));
    throw;
  }
  if (PyObject_SetItem(notes.ptr(), to_str(next).ptr(), text.ptr()) < 0) throw nb::python_error();
}

void add_general_note(nb::handle self, nb::handle note) {
  nb::object notes = self.attr(state->general_notes);
  if (notes.is_none()) {
    notes = nb::dict();
    nb::setattr(self, state->general_notes, notes);
  }
  if (is_mapping(note)) {
    add_mapped_notes(notes, note);
  } else if (PyUnicode_Check(note.ptr())) {
    add_text_note(notes, note);
  }
}

void remove_general_note(nb::handle self, nb::handle note_key) {
  check_argument_type(note_key, &PyUnicode_Type, "note_key", NoneAllowed::no);
  nb::object notes = self.attr(state->general_notes);
  if (notes.is_none() || !contains(notes, note_key)) return;
  if (PyObject_DelItem(notes.ptr(), note_key.ptr()) < 0) throw nb::python_error();
}

// --- computed view fields --------------------------------------------------------------

// One plain view per entry of a mapping field, in mapping order: the key, and the value's
// text form. A null field gives no entries.
nb::object entry_views(nb::handle record, nb::handle field, nb::handle view, const char* key_name,
                       const char* value_name) {
  nb::list views;
  nb::object mapping = record.attr(field);
  if (mapping.is_none()) return views;
  nb::list keys = steal_or_throw<nb::list>(PySequence_List(mapping.ptr()));
  for (nb::handle borrowed : keys) {
    nb::object key = nb::borrow(borrowed);
    nb::object value = steal_or_throw(PyObject_GetItem(mapping.ptr(), key.ptr()));
    views.append(view(nb::arg(key_name) = key, nb::arg(value_name) = nb::str(value)));
  }
  return views;
}

nb::object resolve_attribute_description(nb::handle record) {
  return entry_views(record, state->attribute_description, state->attribute_description_type,
                     "attribute_name", "description");
}

nb::object resolve_hyperparameters(nb::handle record) {
  return entry_views(record, state->hyperparameters, state->hyperparameter_type, "name", "value");
}

nb::object resolve_general_notes(nb::handle record) {
  return entry_views(record, state->general_notes, state->general_note_type, "title", "content");
}

// The literal a text holds in Python's literal notation, parsed without evaluating
// anything; an invalid object when the text holds none (or one too deep to parse).
nb::object read_literal(nb::handle text) {
  if (!zelvora::reads_metric_literal(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))))
    return nb::object();
  try {
    return state->literal_eval(text);
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError) || e.matches(PyExc_SyntaxError) ||
        e.matches(PyExc_MemoryError) || e.matches(PyExc_RecursionError))
      return nb::object();
    throw;
  }
}

nb::object resolve_eval_metric(nb::handle record) {
  nb::object hyperparameters = record.attr(state->hyperparameters);
  if (hyperparameters.is_none()) return state->unknown;
  nb::object metric = hyperparameters.attr(state->get)(state->eval_metric);
  if (metric.is_none()) return state->unknown;
  if (PyUnicode_Check(metric.ptr())) {
    if (nb::object literal = read_literal(metric); literal.is_valid()) {
      metric = PyList_Check(literal.ptr()) ? steal_or_throw(PySequence_GetItem(literal.ptr(), -1))
                                           : literal;
    }
  }
  check_kind(metric, &PyUnicode_Type, "str", NoneAllowed::no);
  return metric;
}

// --- records ---------------------------------------------------------------------------

struct Records {
  nb::object attached_image, summary;
};

RecordDecl attached_image_record(nb::handle core_model) {
  return {
      .name = "AttachedImage",
      .doc = "An image that belongs to a model; its data travels beside the model YAML.",
      .base = core_model,
      .fields =
          {
              {"type", str_type()},
              {"filename", str_type()},
              {"image", optional(bytes_type()), default_none(), /*exclude=*/true},
          },
  };
}

RecordDecl summary_record(const Records& r, nb::handle core_model, nb::handle sample_description) {
  nb::object text = str_type();
  return {
      .name = "PredictiveModelSummary",
      .doc =
          "Class for storing descriptive data about models's development sample, attributes and "
          "hyperparameters.",
      .base = core_model,
      .fields =
          {
              {"predictive_model_name", optional(text), default_none()},
              {"predictive_model_created", optional(date_type()), default_none()},
              {"sample_metadata", optional(list_of(sample_description)), default_none()},
              {"attribute_description", optional(dict_of(text, text)), default_none()},
              {"hyperparameters", optional(dict_of(text, any_type())), default_none()},
              {"number_of_trainable_parameters", optional(int_type()), default_none()},
              {"general_notes", optional(dict_of(text, text)), default_none()},
              {"attached_images", optional(list_of(r.attached_image)), default_none()},
          },
      .methods =
          {
              method("add_general_note", &add_general_note, nb::arg("note").none(),
                     nb::sig("def add_general_note(self, note: Mapping[str, str] | str) -> None"),
                     "Adds the entries of a mapping (keeping existing keys) or a text under the "
                     "next free key note_<n>."),
              method("remove_general_note", &remove_general_note, nb::arg("note_key").none(),
                     nb::sig("def remove_general_note(self, note_key: str) -> None"),
                     "Removes the note under a key, if present."),
          },
  };
}

Records declare_records(nb::module_& m) {
  nb::object core_model = record_base();
  nb::object sample_description = import_class(module_path::kSubsetSummary, "SampleDescription");
  Records r;
  r.attached_image = declare_record(m, attached_image_record(core_model));
  r.summary = declare_record(m, summary_record(r, core_model, sample_description));
  return r;
}

// --- query views -----------------------------------------------------------------------

// The plain type of one mapping entry: two text fields.
nb::object entry_type(nb::module_& m, const char* name, const char* doc, const char* key,
                      const char* value) {
  return declare_query_type(
      m, {.name = name, .doc = doc, .fields = {{key, str_type()}, {value, str_type()}}});
}

// Computed fields resolve synchronously, so that both schema.execute and
// schema.execute_sync can serve them.
void declare_views(nb::module_& m, const Records& r) {
  State& s = *state;
  s.attribute_description_type =
      entry_type(m, "AttributeDescriptionType", "The description of one attribute.",
                 "attribute_name", "description");
  s.hyperparameter_type = entry_type(m, "HyperparameterType",
                                     "One hyperparameter and its value as text.", "name", "value");
  s.general_note_type =
      entry_type(m, "GeneralNoteType", "One general note: its key and text.", "title", "content");
  const ViewDecl attached_image{
      .name = "AttachedImageType",
      .record = r.attached_image,
      .mirrored = {"type", "filename"},
      .doc = "An image attached to a model (its data is not exposed).",
  };
  declare_view(m, attached_image);
  const ViewDecl summary{
      .name = "PredictiveModelSummaryType",
      .record = r.summary,
      .mirrored = {"predictive_model_name", "predictive_model_created",
                   "number_of_trainable_parameters", "attached_images", "sample_metadata"},
      .computed =
          {
              computed("attribute_description", list_of(s.attribute_description_type),
                       &resolve_attribute_description),
              computed("hyperparameters", list_of(s.hyperparameter_type), &resolve_hyperparameters),
              computed("general_notes", list_of(s.general_note_type), &resolve_general_notes),
              computed("eval_metric", str_type(), &resolve_eval_metric,
                       "The evaluation metric named in the hyperparameters (the last of a "
                       "list), or unknown."),
          },
      .doc = "The descriptive data of a model.",
  };
  declare_view(m, summary);
}

}  // namespace

NB_MODULE(model_summary, m) {
  describe_module(m,
                  "The description of a model: hyperparameters, attribute descriptions, notes and "
                  "attached images.");
  load_api(m);
  State& s = state.emplace(m);
  s.literal_eval = nb::module_::import_("ast").attr("literal_eval");
  Records records = declare_records(m);
  declare_views(m, records);
}
