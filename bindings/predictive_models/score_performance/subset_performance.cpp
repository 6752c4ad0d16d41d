// zelvora_analytics_utils.predictive_models.score_performance.subset_performance: sample
// types, performance metrics and the metric values measured on one sample for one target.
#include <nanobind/nanobind.h>

#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/views.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct Records {
  nb::object sample_type, performance_metrics, subset_performance;
};

RecordDecl subset_performance_record(const Records& r, nb::handle core_model) {
  return {
      .name = "SubsetPerformance",
      .doc =
          "Object containing information about performance metrics on given sample "
          "(train/valid/test/...)",
      .base = core_model,
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
  nb::object core_model =
      nb::module_::import_("zelvora_analytics_utils.utils.core_model").attr("CoreModel");
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
  r.subset_performance = declare_record(m, subset_performance_record(r, core_model));
  return r;
}

}  // namespace

NB_MODULE(subset_performance, m) {
  Records records = declare_records(m);
  schema_enum(records.sample_type);
  schema_enum(records.performance_metrics);
}
