// zelvora_analytics_utils.predictive_models.score_performance.subset_performance: sample
// types, performance metrics and the metric values measured on one sample for one target.
#include <nanobind/nanobind.h>

#include <tuple>

#include "common/classes.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/views.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct State {
  Held<nb::object> performance_entry;  // SubsetPerformancePerformanceType
  Held<nb::str> metric{"metric"}, value{"value"};
};

ModuleState<State> state;

struct Records {
  nb::object sample_type, performance_metrics, subset_performance;
};

RecordDecl subset_performance_record(const Records& r) {
  return {
      .name = "SubsetPerformance",
      .doc =
          "Object containing information about performance metrics on given sample "
          "(train/valid/test/...)",
      .base = record_base(),
      .fields =
          {
              {"sample", r.sample_type},
              {"target", str_type()},
              {"performance", dict_of(r.performance_metrics, float_type()),
               default_factory(dict_type())},
          },
  };
}

Records declare_records(nb::module_& m) {
  Records r;
  r.sample_type = declare_text_enum(
      m, "SampleType",
      {{"TRAIN", "TRAIN"}, {"VALID", "VALID"}, {"TEST", "TEST"}, {"OOT", "OOT"}, {"CV", "CV"}},
      "Kind of a development sample.");
  // Members are found by value: the text "TAR" names TAU, the text "TAU" names none.
  r.performance_metrics = declare_text_enum(m, "PerformanceMetrics",
                                            {{"AUC", "AUC"},
                                             {"GINI", "GINI"},
                                             {"LIFT", "LIFT"},
                                             {"KS", "KS"},
                                             {"TAU", "TAR"},
                                             {"RHO", "RHO"},
                                             {"ACCURACY", "ACCURACY"}},
                                            "Performance metrics of a predictive model.");
  r.subset_performance = declare_record(m, subset_performance_record(r));
  return r;
}

// --- query views ---------------------------------------------------------------------

// One entry per item of the record's performance mapping, in the mapping's order. The
// items are owned before any entry is built: building runs Python code.
nb::object resolve_performance(nb::handle record) {
  const State& s = *state;
  nb::list items =
      steal_or_throw<nb::list>(PySequence_List(record.attr("performance").attr("items")().ptr()));
  nb::list entries;
  for (nb::handle item : items) {
    nb::object key = item[0], value = item[1];
    nb::kwargs fields;
    fields[s.metric] = key;
    fields[s.value] = value;
    entries.append(s.performance_entry(**fields));
  }
  return entries;
}

// The view's `performance` resolves synchronously, so that synchronous and asynchronous
// execution of a query both show it.
void declare_views(nb::module_& m, const Records& r) {
  nb::object metrics = schema_enum(r.performance_metrics);
  schema_enum(r.sample_type);
  const QueryTypeDecl performance_entry{
      .name = "SubsetPerformancePerformanceType",
      .doc = "One entry of a performance mapping: a metric and its value.",
      .fields = {{"metric", metrics}, {"value", float_type()}},
  };
  state->performance_entry = declare_query_type(m, performance_entry);
  const ViewDecl subset_performance{
      .name = "SubsetPerformanceType",
      .record = r.subset_performance,
      .mirrored = {"sample", "target"},
      .computed = {computed("performance", list_of(state->performance_entry), &resolve_performance,
                            "The metric values, one entry per metric.")},
      .doc = "The metric values measured on one sample for one target.",
  };
  declare_view(m, subset_performance);
}

}  // namespace

NB_MODULE(subset_performance, m) {
  describe_module(m, "The performance figures of a model on one subset of its sample.");
  load_api(m);
  state.emplace(m);
  Records records = declare_records(m);
  declare_views(m, records);
}
