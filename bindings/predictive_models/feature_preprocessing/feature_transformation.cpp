// zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_transformation:
// formula transformations of attributes and their query view.
#include <nanobind/nanobind.h>

#include "common/classes.hpp"
#include "common/records.hpp"
#include "common/views.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

RecordDecl feature_transformation_record(nb::handle core_model) {
  return {
      .name = "FeatureTransformation",
      .doc = "A formula transformation of an attribute, optionally under a new attribute name.",
      .base = core_model,
      .fields =
          {
              {"attribute", described(str_type(), "The attribute the formula transforms.")},
              {"transformation",
               described(str_type(), "The formula computing the transformed value.")},
              {"transformed_attribute_name",
               described(optional(str_type()),
                         "The name of the attribute the formula creates, if any."),
               default_none()},
          },
  };
}

void declare_views(nb::module_& m) {
  declare_view(m, {
                      .name = "FeatureTransformationType",
                      .record = m.attr("FeatureTransformation"),
                      .mirrored = {"attribute", "transformation", "transformed_attribute_name"},
                  });
}

}  // namespace

NB_MODULE(feature_transformation, m) {
  describe_module(m, "Formula transformations of attributes.");
  load_api(m);
  declare_record(m, feature_transformation_record(record_base()));
  declare_views_lazily(m, {"FeatureTransformationType"}, &declare_views);
}
