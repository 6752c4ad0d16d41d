// zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing:
// the preprocessing registry of a model (transformations, binnings, dummy encodings), the
// builder of binnings from a compact specification, binning and dummy encoding by
// attribute name.
//
// This file holds the module's init and the FeaturePreprocessing record; the parts
// (feature_preprocessing.hpp) hold the operations.
#include "feature_preprocessing.hpp"

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <stdexcept>
#include <string>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/records.hpp"
#include "common/views.hpp"

namespace zelvora::py::preprocessing {

ModuleState<State> state;

nb::object first_where(nb::handle records, nb::handle field, nb::handle key) {
  nb::object found = nb::none();
  for_each_item(records, [&](const nb::object& record) {
    if (!record.attr(field).equal(key)) return false;
    found = record;
    return true;
  });
  return found;
}

namespace {

constexpr const char* kModule = module_path::kPreprocessing;
constexpr const char* kBinningModule = module_path::kBinning;
constexpr const char* kTransformationModule = module_path::kTransformation;

// In the order of the record's fields and operations.
constexpr PartInit kParts[] = {&init_registry, &init_batches, &init_frame, &init_dummy_encoding};

nb::object declare_preprocessing_record(nb::module_& m) {
  RecordDecl decl{
      .name = "FeaturePreprocessing",
      .doc =
          "Transformations, binnings and dummy encodings applied to attribute values before "
          "a model is evaluated.",
      .base = record_base(),
  };
  for (PartInit init : kParts) init(m, decl);
  return declare_record(m, decl);
}

// strawberry lists a view's fields in the record's field order; this view shows
// them in its own order.
void order_view_fields(nb::handle view, std::initializer_list<const char*> order) {
  nb::list fields = nb::borrow<nb::list>(view.attr("__strawberry_definition__").attr("fields"));
  nb::list ordered;
  for (const char* name : order) {
    for (nb::handle field : nb::list(fields)) {
      if (field.attr("name").equal(nb::str(name))) ordered.append(field);
    }
  }
  if (nb::len(ordered) != nb::len(fields)) throw std::logic_error("view fields out of step");
  view.attr("__strawberry_definition__").attr("fields") = ordered;
}

void declare_views(nb::module_& m) {
  nb::object view = declare_view(m, {
                                        .name = "FeaturePreprocessingType",
                                        .record = m.attr("FeaturePreprocessing"),
                                        .mirrored = {"binning", "transformations"},
                                    });
  order_view_fields(view, {"binning", "transformations"});
}

}  // namespace

}  // namespace zelvora::py::preprocessing

NB_MODULE(feature_preprocessing, m) {
  using namespace zelvora::py;
  using namespace zelvora::py::preprocessing;
  describe_module(m,
                  "The preparation of a model's inputs: transformations and binnings of its "
                  "attributes, applied in order.");
  load_api(m);
  State& s = state.emplace(m);
  s.feature_binning = import_class(kBinningModule, "FeatureBinning");
  s.bins.numerical_bin = import_class(kBinningModule, "AttributeBinNumerical");
  s.bins.categorical_bin = import_class(kBinningModule, "AttributeBinCategorical");
  nb::object data_type = import_class(kBinningModule, "AttributeDataType");
  s.numerical = data_type.attr("NUMERICAL");
  s.categorical = data_type.attr("CATEGORICAL");
  s.feature_transformation = import_class(kTransformationModule, "FeatureTransformation");
  s.logger = Logger(kModule);
  s.binning_logger = Logger(kBinningModule);
  declare_preprocessing_record(m);
  declare_views_lazily(m, {"FeaturePreprocessingType"}, &declare_views);
  m.attr("logger") = s.logger.proxy();
}
