// zelvora_analytics_utils.predictive_models.model_summary.subset_summary: the description
// of one development sample (kind, period, size, class frequencies) and its query views.
#include <nanobind/nanobind.h>

#include "common/classes.hpp"
#include "common/module_paths.hpp"
#include "common/records.hpp"
#include "common/views.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct Records {
  nb::object sample_type, class_frequency, sample_description;
};

RecordDecl class_frequency_record(nb::handle core_model) {
  return {
      .name = "ClassFrequency",
      .doc = "How many observations of a sample have one class of the target.",
      .base = core_model,
      .fields =
          {
              {"label_class", any_type()},
              {"number_of_observations", optional(int_type()), default_none()},
          },
  };
}

RecordDecl sample_description_record(const Records& r, nb::handle core_model) {
  return {
      .name = "SampleDescription",
      .doc =
          "Object for storing descriptive information about samples used in models development "
          "(train/valid/test/...)",
      .base = core_model,
      .fields =
          {
              {"sample_type", optional(r.sample_type), default_none()},
              {"first_date", optional(date_type()), default_none()},
              {"last_date", optional(date_type()), default_none()},
              {"number_of_observations", optional(int_type()), default_none()},
              {"label_class_frequency", optional(list_of(r.class_frequency)), default_none()},
          },
  };
}

Records declare_records(nb::module_& m) {
  nb::object core_model = record_base();
  Records r;
  r.sample_type = import_class(module_path::kSubsetPerformance, "SampleType");
  publish(m, "SampleType", r.sample_type);
  r.class_frequency = declare_record(m, class_frequency_record(core_model));
  r.sample_description = declare_record(m, sample_description_record(r, core_model));
  return r;
}

// --- query views -----------------------------------------------------------------------

// Python's str(): 1 gives "1", 1.0 gives "1.0", True gives "True".
nb::object resolve_label_class(nb::handle record) {
  nb::object label = record.attr("label_class");
  return nb::str(label);
}

void declare_views(nb::module_& m, const Records& r) {
  const ViewDecl class_frequency{
      .name = "ClassFrequencyType",
      .record = r.class_frequency,
      .mirrored = {"number_of_observations"},
      .computed = {computed("label_class", str_type(), &resolve_label_class, "The class as text.")},
      .doc = "How many observations of a sample have one class of the target.",
  };
  const ViewDecl sample_description{
      .name = "SampleDescriptionType",
      .record = r.sample_description,
      .mirrored = {"sample_type", "first_date", "last_date", "number_of_observations",
                   "label_class_frequency"},
      .doc = "The description of one development sample.",
  };
  declare_view(m, class_frequency);
  declare_view(m, sample_description);
}

}  // namespace

NB_MODULE(subset_summary, m) {
  describe_module(m, "The description of the sample a model was built or checked on.");
  load_api(m);
  Records records = declare_records(m);
  declare_views(m, records);
}
