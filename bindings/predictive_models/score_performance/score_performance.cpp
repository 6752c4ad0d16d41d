// zelvora_analytics_utils.predictive_models.score_performance.score_performance: the
// measured performance of a model on its development samples, the rule that turns metric
// texts into metrics, and the record's query view.
#include <nanobind/nanobind.h>

#include <tuple>

#include "common/arguments.hpp"
#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "zelvora/metric_text.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct State {
  Held<nb::object> performance_metrics, lift, enum_type, mapping, mutable_mapping;
  Held<nb::str> metrics_key{"performance_metrics"}, lift_prefix{"LIFT("};
};

ModuleState<State> state;

// --- the metric text rule ----------------------------------------------------------------

// Text is a str, but not a member of another enumeration (text-valued members are str
// too); a member of PerformanceMetrics reads as its value.
void check_metric_text(nb::handle metric) {
  const bool text =
      PyUnicode_Check(metric.ptr()) && (!nb::isinstance(metric, state->enum_type) ||
                                        nb::isinstance(metric, state->performance_metrics));
  if (!text) raise_argument_type_error(metric, "metric", "str");
}

nb::object metric_from_text(nb::handle metric) {
  check_metric_text(metric);
  nb::object upper = steal_or_throw(PyObject_CallMethod(
      reinterpret_cast<PyObject*>(&PyUnicode_Type), "upper", "O", metric.ptr()));
  // Upper-cased by Python's rules ("ı" gives "I"); the prefix test reads the result.
  if (zelvora::names_lift(text_bytes(upper))) return state->lift;
  // The enumeration's own lookup by value, with its ValueError for unknown texts.
  return state->performance_metrics(upper);
}

nb::object validate_performance_metric_str(nb::handle, nb::handle metric) {
  return metric_from_text(metric);
}

// --- the raw-input check -----------------------------------------------------------------

// The metric list of the raw input, members kept and texts converted, in order. The input
// is left alone until every item converted.
nb::object validate_performance_metrics(nb::handle, nb::handle data) {
  const State& s = *state;
  if (!PyDict_Check(data.ptr()) && !nb::isinstance(data, s.mapping)) return nb::borrow(data);
  const int present = PySequence_Contains(data.ptr(), s.metrics_key.ptr());
  if (present < 0) throw nb::python_error();
  if (present == 0) return nb::borrow(data);
  nb::object given = steal_or_throw(PyObject_GetItem(data.ptr(), s.metrics_key.ptr()));
  nb::list metrics;
  for (nb::handle item : given) {
    if (nb::isinstance(item, s.performance_metrics)) {
      metrics.append(item);
    } else {
      metrics.append(metric_from_text(item));
    }
  }
  // A read-only mapping is validated through a converted copy instead.
  nb::object target = nb::borrow(data);
  if (!PyDict_Check(data.ptr()) && !nb::isinstance(data, s.mutable_mapping)) {
    target = steal_or_throw(PyDict_New());
    if (PyDict_Merge(target.ptr(), data.ptr(), 1) < 0) throw nb::python_error();
  }
  if (PyObject_SetItem(target.ptr(), s.metrics_key.ptr(), metrics.ptr()) < 0)
    throw nb::python_error();
  return target;
}

// --- the record --------------------------------------------------------------------------

struct Records {
  nb::object subset_performance, performance_metrics, predictive_score_performance;
};

RecordDecl predictive_score_performance_record(const Records& r) {
  return {
      .name = "PredictiveScorePerformance",
      .doc = "Object to store information about models performance on development sample.",
      .base = record_base(),
      .fields =
          {
              {"subset_performance", list_of(r.subset_performance), default_factory(list_type())},
              {"performance_metrics", list_of(r.performance_metrics), default_factory(list_type())},
          },
      .before_checks = {{"validate_performance_metrics", &validate_performance_metrics}},
      .methods = {class_method("validate_performance_metric_str", &validate_performance_metric_str,
                               nb::arg("cls"), nb::arg("metric").none(),
                               nb::sig("def validate_performance_metric_str(cls, metric: str) "
                                       "-> PerformanceMetrics"),
                               "The PerformanceMetrics member a metric text names.")},
  };
}

Records declare_records(nb::module_& m) {
  Records r;
  r.subset_performance = import_class(module_path::kSubsetPerformance, "SubsetPerformance");
  r.performance_metrics = import_class(module_path::kSubsetPerformance, "PerformanceMetrics");
  r.predictive_score_performance = declare_record(m, predictive_score_performance_record(r));
  return r;
}

// Both fields mirrored: the list of subset records shows through SubsetPerformanceType,
// which the subset module registered for its record.
void declare_views(nb::module_& m, const Records& r) {
  const ViewDecl score_performance{
      .name = "PredictiveScorePerformanceType",
      .record = r.predictive_score_performance,
      .mirrored = {"subset_performance", "performance_metrics"},
      .doc = "The measured performance of a model on its development samples.",
  };
  declare_view(m, score_performance);
}

}  // namespace

NB_MODULE(score_performance, m) {
  describe_module(m, "The performance of a model's score over the subsets of its sample.");
  load_api(m);
  State& s = state.emplace(m);
  Records records = declare_records(m);
  declare_views(m, records);
  s.performance_metrics = records.performance_metrics;
  s.lift = records.performance_metrics.attr("LIFT");
  s.enum_type = import_class("enum", "Enum");
  s.mapping = import_class("collections.abc", "Mapping");
  s.mutable_mapping = import_class("collections.abc", "MutableMapping");
}
