// zelvora_analytics_utils.predictive_models.augmented_predictive_model: the record of one
// deployed predictive model, its content round trip and its query views (the readers of
// its external model: external_model.cpp).
#include <nanobind/nanobind.h>

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/python_api.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "predictive_models/external_model.hpp"
#include "zelvora/formula.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

using namespace zelvora::py::module_path;
using namespace zelvora::models;

struct State {
  // enumeration members
  Held<nb::object> logistic_regression, pmml, xgb, expert_score, random_forest, cox_ph_fitter;
  Held<nb::object> category_static, category_horizon, category_none;
  // collaborators
  Held<nb::object> content_class, external_view, string_io, bytes_io, json_loads;
  Held<nb::object> valid_dumps_yaml, safe_loads_yaml;
  // keys and names, interned once
  Held<nb::str> attributes{"attributes"}, predictive_model_type{"predictive_model_type"},
      feature_preprocessing{"feature_preprocessing"}, description{"description"},
      directory_name{"directory_name"}, external_model{"external_model"},
      feature_names{"feature_names"}, type_key{"type"}, pmml_model{"pmml_model"},
      attached_images{"attached_images"}, filename{"filename"}, image{"image"},
      predictive_model_name{"predictive_model_name"}, yaml_part{"augmented_predictive_model_yaml"},
      json_part{"external_model_json"}, pmml_part{"external_model_pmml"}, getvalue{"getvalue"},
      get_feature_names{"get_external_model_feature_names"},
      get_coefficients{"get_external_model_coefficients"},
      get_intercept{"get_external_model_intercept"}, get_stringio{"get_external_model_stringio"},
      get_coefficient{"get_coefficient"}, migrate{"_migrate"}, model_validate{"model_validate"},
      get_transformation_formula{"get_transformation_formula"},
      all_transformation_attributes{"get_all_transformation_attributes"},
      created_in_transformations{"get_attributes_created_in_transformations"},
      all_binning_attributes{"get_all_binning_attributes"},
      all_dummy_enc_attributes{"get_all_dummy_enc_attributes"}, index{"index"};
};

ModuleState<State> state;

nb::object get_category(nb::handle self) {
  const State& s = *state;
  nb::object type = self.attr(s.predictive_model_type);
  if (type.equal(s.cox_ph_fitter)) return s.category_horizon;
  for (nb::handle member : std::initializer_list<nb::handle>{
           s.logistic_regression, s.xgb, s.expert_score, s.random_forest, s.pmml})
    if (type.equal(member)) return s.category_static;
  return s.category_none;
}

// --- consistency check and coefficient lookup --------------------------------------------

nb::object as_set(nb::handle names) {
  return steal_or_throw(PySet_New(names.ptr()));
}

nb::object set_difference(nb::handle a, nb::handle b) {
  return steal_or_throw(PyNumber_Subtract(a.ptr(), b.ptr()));
}

[[noreturn]] void raise_unknown(const char* what, nb::handle unknown, nb::handle attributes) {
  nb::str message = nb::str("{} defined for unknown attributes: {}. Model attributes are {}.")
                        .format(what, nb::repr(unknown), nb::repr(attributes));
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw nb::python_error();
}

nb::object preprocess_attributes(nb::handle self) {
  const State& s = *state;
  nb::object attributes = self.attr(s.attributes);
  nb::object preprocessing = self.attr(s.feature_preprocessing);
  nb::object attribute_set = as_set(attributes);

  nb::object unknown = set_difference(
      as_set(call_method(preprocessing, s.all_transformation_attributes)), attribute_set);
  if (PySet_GET_SIZE(unknown.ptr()) > 0) raise_unknown("Transformation", unknown, attribute_set);

  nb::object after_transformations = steal_or_throw(PySequence_Concat(
      attributes.ptr(), call_method(preprocessing, s.created_in_transformations).ptr()));
  unknown = set_difference(as_set(call_method(preprocessing, s.all_binning_attributes)),
                           as_set(after_transformations));
  if (PySet_GET_SIZE(unknown.ptr()) > 0) raise_unknown("Binning", unknown, attribute_set);

  // Dummy encodings name the features they create, which are thereby known: the third
  // step never fails, but a failure of the listing reaches the caller.
  call_method(preprocessing, s.all_dummy_enc_attributes);
  return nb::borrow(self);
}

// The coefficient at the attribute's position among the external model's feature names
// (the model's attributes when it lists none). A missing name or key gives null; a
// position past the coefficients fails.
nb::object coefficient_of(nb::handle self, nb::handle attribute) {
  const State& s = *state;
  nb::object coefficients, index;
  try {
    nb::object names = call_method(self, s.get_feature_names);
    if (is_none_or_empty(names)) names = self.attr(s.attributes);
    index = names.attr(s.index)(attribute);
    coefficients = call_method(self, s.get_coefficients);
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_ValueError) || e.matches(PyExc_KeyError)) return nb::none();
    throw;
  }
  if (coefficients.is_none()) return nb::none();
  return steal_or_throw(PyObject_GetItem(coefficients.ptr(), index.ptr()));
}

// --- content round trip -------------------------------------------------------------------

nb::object get_content(nb::handle self) {
  const State& s = *state;
  nb::object yaml = s.string_io(s.valid_dumps_yaml(self));

  nb::dict images;
  nb::object attached = self.attr(s.description).attr(s.attached_images);
  if (!attached.is_none()) {
    nb::list records = steal_or_throw<nb::list>(PySequence_List(attached.ptr()));
    for (nb::handle record : records) {
      nb::object data = record.attr(s.image);
      if (data.is_none()) continue;
      images[record.attr(s.filename)] = s.bytes_io(data);
    }
  }

  nb::object external = call_method(self, s.get_stringio);
  const bool pmml = type_is(self, s.pmml);
  return s.content_class(nb::arg("augmented_predictive_model_yaml") = yaml,
                         nb::arg("external_model_json") = pmml ? nb::none() : external,
                         nb::arg("external_model_pmml") = pmml ? external : nb::none(),
                         nb::arg("attached_images") = images);
}

void set_item(nb::handle container, nb::handle key, nb::handle value) {
  if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

// The model document holds the model's fields by name. Another document fails as it
// always has, as a TypeError when an external model file is to be added to it and as a
// validation error otherwise, but saying what was wrong.
void check_model_document(nb::handle cls, nb::handle data, bool external_file) {
  if (PyDict_Check(data.ptr()) || (PyMapping_Check(data.ptr()) && !PySequence_Check(data.ptr())))
    return;
  nb::str got(data.is_none() ? "an empty document" : Py_TYPE(data.ptr())->tp_name);
  const char* message = "The model document must be a mapping, got {got}";
  if (external_file) {
    PyErr_SetObject(PyExc_TypeError, nb::str(message).attr("format")(nb::arg("got") = got).ptr());
    throw nb::python_error();
  }
  nb::module_ pydantic_core = nb::module_::import_("pydantic_core");
  nb::dict context, line;
  nb::list lines;
  context["got"] = got;
  line["type"] = pydantic_core.attr("PydanticCustomError")("model_document", message, context);
  line["loc"] = nb::tuple();
  line["input"] = data;
  lines.append(line);
  nb::object error = pydantic_core.attr("ValidationError")
                         .attr("from_exception_data")(cls.attr("__name__"), lines);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw nb::python_error();
}

nb::object parse_from_content(nb::handle cls, nb::handle content) {
  const State& s = *state;
  nb::object data = s.safe_loads_yaml(rewound_text(content.attr(s.yaml_part)));

  nb::object json = content.attr(s.json_part);
  nb::object pmml = content.attr(s.pmml_part);
  check_model_document(cls, data, !json.is_none() || !pmml.is_none());
  if (!json.is_none()) {
    set_item(data, s.external_model, s.json_loads(rewound_text(json)));
  } else if (!pmml.is_none()) {
    nb::dict external;
    external[s.type_key] = s.pmml;
    external[s.pmml_model] = rewound_text(pmml);
    set_item(data, s.external_model, external);
  }

  nb::object model = cls.attr(s.model_validate)(data);

  nb::object attached = model.attr(s.description).attr(s.attached_images);
  if (!attached.is_none()) {
    nb::object files = content.attr(s.attached_images);
    nb::list records = steal_or_throw<nb::list>(PySequence_List(attached.ptr()));
    for (nb::handle record : records) {
      nb::object file =
          steal_or_throw(PyObject_GetItem(files.ptr(), record.attr(s.filename).ptr()));
      nb::setattr(record, s.image, file.attr(s.getvalue)());
    }
  }
  call_method(model, s.migrate);
  return model;
}

void migrate(nb::handle self) {
  const State& s = *state;
  if (type_is(self, s.expert_score) && is_none_or_empty(call_method(self, s.get_feature_names))) {
    nb::object attributes = steal_or_throw(PySequence_List(self.attr(s.attributes).ptr()));
    set_item(self.attr(s.external_model), s.feature_names, attributes);
  }
  nb::object description = self.attr(s.description);
  if (description.attr(s.predictive_model_name).is_none())
    nb::setattr(description, s.predictive_model_name, self.attr(s.directory_name));
}

// --- formula ----------------------------------------------------------------------------

// The linear predictor of a logistic regression: intercept, then one term per feature
// (zelvora/formula.hpp); None for other model types.
nb::object model_formula(nb::handle model) {
  const State& s = *state;
  if (!type_is(model, s.logistic_regression)) return nb::none();
  nb::object intercept = call_method(model, s.get_intercept);
  const std::optional<double> intercept_value =
      intercept.is_none() ? std::nullopt : std::optional<double>(to_double(intercept));

  nb::object names = call_method(model, s.get_feature_names);
  if (is_none_or_empty(names)) names = model.attr(s.attributes);
  nb::list visited = steal_or_throw<nb::list>(PySequence_List(names.ptr()));
  nb::object preprocessing = model.attr(s.feature_preprocessing);
  std::vector<zelvora::FormulaTerm> terms;
  for (nb::handle name : visited) {
    nb::object coef = model.attr(s.get_coefficient)(name);
    nb::object term = preprocessing.attr(s.get_transformation_formula)(nb::arg("attribute") = name);
    std::string text = text_of(term);
    terms.push_back(
        {coef.is_none() ? std::nullopt : std::optional<double>(to_double(coef)), std::move(text)});
  }
  return from_text_bytes(zelvora::linear_formula(intercept_value, terms));
}

// --- records ------------------------------------------------------------------------------

struct Records {
  nb::object model_type, category, abstract_model, model;
};

RecordDecl abstract_model_record(const Records& r) {
  nb::object text = str_type();
  return {
      .name = "AbstractAugmentedPredictiveModel",
      .doc =
          "A predictive model implemented in the decision application: its attributes, "
          "preprocessing, description, performance and monitoring.",
      .base = record_base(),
      .fields =
          {
              {"attributes", list_of(text), default_factory(list_type())},
              {"predictive_model_type", optional(r.model_type), default_none()},
              {"target", optional(text), default_none()},
              {"target_class", optional(text), default_none()},
              {"feature_preprocessing", import_class(kPreprocessing, "FeaturePreprocessing"),
               default_factory(import_class(kPreprocessing, "FeaturePreprocessing"))},
              {"description", import_class(kSummary, "PredictiveModelSummary"),
               default_factory(import_class(kSummary, "PredictiveModelSummary"))},
              {"performance", import_class(kPerformance, "PredictiveScorePerformance"),
               default_factory(import_class(kPerformance, "PredictiveScorePerformance"))},
              {"monitoring", import_class(kTracking, "PredictiveModelTracking"),
               default_factory(import_class(kTracking, "PredictiveModelTracking"))},
          },
      .after_checks = {{"preprocess_attributes", &preprocess_attributes}},
      .methods =
          {
              method("get_content", &get_content,
                     nb::sig("def get_content(self) -> " ZELVORA_CONTENT_MODULE
                             ".AugmentedPredictiveModelContent"),
                     "The model's bundle: YAML document, external model file and images."),
              class_method(
                  "parse_from_content", &parse_from_content,
                  nb::sig("def parse_from_content(cls, content: " ZELVORA_CONTENT_MODULE
                          ".AugmentedPredictiveModelContent) -> AbstractAugmentedPredictiveModel"),
                  nb::arg("cls"), nb::arg("content"),
                  "A validated, migrated model rebuilt from a bundle."),
              method("get_coefficient", &coefficient_of,
                     nb::sig("def get_coefficient(self, attribute: str) -> float | None"),
                     nb::arg("attribute"),
                     "The external model's coefficient of an attribute, or None."),
              method("formula", &model_formula, nb::sig("def formula(self) -> str | None"),
                     "The linear predictor of a logistic regression as text, or None."),
              method("get_external_model_category", &get_category,
                     nb::sig("def get_external_model_category(self) -> PredictiveModelCategory"),
                     "The category of the model type."),
          },
      .abstract_methods =
          {
              {"_migrate"},
              {"get_external_model_stringio", "io.StringIO"},
              {"get_external_model_feature_names", "Optional[List[str]]"},
              {"get_external_model_intercept", "Optional[float]"},
              {"get_external_model_intercept_name", "Optional[str]"},
              {"get_external_model_coefficients", "Optional[List[float]]"},
              {"get_external_model_best_iteration", "Optional[int]"},
              {"get_external_model_number_of_trees", "Optional[int]"},
              {"get_external_model_number_of_attributes", "Optional[int]"},
              {"get_external_model_best_eval_metric", "Optional[float]"},
          },
  };
}

RecordDecl model_record(const Records& r) {
  return {
      .name = "AugmentedPredictiveModel",
      .doc = "A predictive model with its parsed external model file.",
      .base = r.abstract_model,
      .fields =
          {
              {"directory_name", optional(str_type()), default_none()},
              {"external_model", dict_of(str_type(), any_type()), default_factory(dict_type()),
               /*exclude=*/true},
          },
      .before_checks = {{"_plain_external_model", &plain_external_model}},
      .methods =
          {
              method("_migrate", &migrate, nb::sig("def _migrate(self) -> None"),
                     "Completes a model stored in an older layout."),
              method("get_external_model_stringio", &get_stringio,
                     nb::sig("def get_external_model_stringio(self) -> io.StringIO"),
                     "The external model file as a new text stream: PMML text or JSON."),
              method("get_external_model_feature_names", &get_feature_names,
                     nb::sig("def get_external_model_feature_names(self) -> list[str] | None"),
                     "The feature names of the external model, or None."),
              method("get_external_model_intercept", &get_intercept,
                     nb::sig("def get_external_model_intercept(self) -> float | None"),
                     "The intercept of the external model, or None."),
              method("get_external_model_intercept_name", &get_intercept_name,
                     nb::sig("def get_external_model_intercept_name(self) -> str | None"),
                     "The name of the intercept, or None."),
              method("get_external_model_coefficients", &get_coefficients,
                     nb::sig("def get_external_model_coefficients(self) -> list[float] | None"),
                     "The coefficients of a linear external model, or None."),
              method("get_external_model_best_iteration", &get_best_iteration,
                     nb::sig("def get_external_model_best_iteration(self) -> int | None"),
                     "Boosting rounds up to the best one (XGB), or None."),
              method("get_external_model_number_of_trees", &get_number_of_trees,
                     nb::sig("def get_external_model_number_of_trees(self) -> int | None"),
                     "The number of trees (XGB), or None."),
              method("get_external_model_number_of_attributes", &get_number_of_attributes,
                     nb::sig("def get_external_model_number_of_attributes(self) -> int | None"),
                     "The number of input features (XGB), or None."),
              method("get_external_model_best_eval_metric", &get_best_eval_metric,
                     nb::sig("def get_external_model_best_eval_metric(self) -> float | None"),
                     "The evaluation metric at the best round (XGB), or None."),
          },
  };
}

Records declare_records(nb::module_& m) {
  Records r;
  r.model_type = declare_text_enum(m, "PredictiveModelType",
                                   {{"LOGISTIC_REGRESSION", "LOGISTIC_REGRESSION"},
                                    {"PMML", "PMML"},
                                    {"XGB", "XGB"},
                                    {"EXPERT_SCORE", "EXPERT_SCORE"},
                                    {"RANDOM_FOREST", "RANDOM_FOREST"},
                                    {"COX_PH_FITTER", "COX_PH_FITTER"}},
                                   "Kinds of predictive model.");
  r.category = declare_text_enum(m, "PredictiveModelCategory",
                                 {{"STATIC", "STATIC"}, {"HORIZON", "HORIZON"}, {"NONE", "NONE"}},
                                 "Whether a model scores once (static) or over a horizon.");
  r.abstract_model = declare_record(m, abstract_model_record(r));
  r.model = declare_record(m, model_record(r));
  return r;
}

// --- query views --------------------------------------------------------------------------

nb::object external_model_view(nb::handle model) {
  return state->external_view(nb::arg("extended_model") = model);
}

void declare_views(nb::module_& m, const Records& r) {
  State& s = *state;
  nb::object model_type = schema_enum(r.model_type);
  nb::object category = schema_enum(r.category);
  s.external_view = declare_query_type(
      m, {
             .name = "ExternalPredictiveModelType",
             .doc = "Figures read from a model's external model file.",
             .private_members = {{"extended_model", r.model}},
             .computed =
                 {
                     computed_method("coefficients", optional(list_of(float_type())),
                                     "get_external_model_coefficients"),
                     computed_method("intercept", optional(float_type()),
                                     "get_external_model_intercept"),
                     computed_method("intercept_name", optional(str_type()),
                                     "get_external_model_intercept_name"),
                     computed_method("best_eval_metric", optional(float_type()),
                                     "get_external_model_best_eval_metric"),
                     computed_method("best_iteration", optional(int_type()),
                                     "get_external_model_best_iteration"),
                     computed_method("number_of_attributes", optional(int_type()),
                                     "get_external_model_number_of_attributes"),
                     computed_method("number_of_trees", optional(int_type()),
                                     "get_external_model_number_of_trees"),
                 },
             .source = "extended_model",
         });
  const ViewDecl model{
      .name = "AugmentedPredictiveModelType",
      .record = r.model,
      .mirrored = {"directory_name",
                   "attributes",
                   {"predictive_model_type", optional(model_type)},
                   "target",
                   "target_class",
                   {"feature_preprocessing",
                    import_class(kPreprocessing, "FeaturePreprocessingType")},
                   {"description", import_class(kSummary, "PredictiveModelSummaryType")},
                   {"performance", import_class(kPerformance, "PredictiveScorePerformanceType")},
                   {"monitoring", import_class(kTracking, "PredictiveModelTrackingType")}},
      .computed =
          {
              computed_method("formula", optional(str_type()), "formula",
                              "The linear predictor of a logistic regression."),
              computed("external_model", s.external_view, &external_model_view,
                       "Figures of the external model."),
              computed_method("category", category, "get_external_model_category"),
          },
      .doc = "A deployed predictive model.",
  };
  declare_view(m, model);
}

void load_state(nb::module_& m, const Records& r) {
  State& s = *state;
  s.logistic_regression = r.model_type.attr("LOGISTIC_REGRESSION");
  s.pmml = r.model_type.attr("PMML");
  s.xgb = r.model_type.attr("XGB");
  s.expert_score = r.model_type.attr("EXPERT_SCORE");
  s.random_forest = r.model_type.attr("RANDOM_FOREST");
  s.cox_ph_fitter = r.model_type.attr("COX_PH_FITTER");
  s.category_static = r.category.attr("STATIC");
  s.category_horizon = r.category.attr("HORIZON");
  s.category_none = r.category.attr("NONE");
  s.content_class = import_class(kContent, "AugmentedPredictiveModelContent");
  nb::module_ io = nb::module_::import_("io");
  s.string_io = io.attr("StringIO");
  s.bytes_io = io.attr("BytesIO");
  s.json_loads = import_class("json", "loads");
  s.valid_dumps_yaml = import_class(kDump, "valid_dumps_yaml");
  s.safe_loads_yaml = import_class(kDump, "safe_loads_yaml");
  load_external_model(m, r.model_type);
}

}  // namespace

NB_MODULE(augmented_predictive_model, m) {
  describe_module(m,
                  "The record of a deployed predictive model, its external model and its views.");
  load_api(m);
  state.emplace(m);
  Records records = declare_records(m);
  load_state(m, records);
  declare_views(m, records);
}
