// zelvora_analytics_utils.predictive_models.model_tracking.model_tracking: the monitoring
// binnings of a model, the lookup of an observed value's bin and the monitoring view.
#include <nanobind/nanobind.h>

#include <limits>
#include <tuple>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/module_paths.hpp"
#include "common/module_state.hpp"
#include "common/record_bins.hpp"
#include "common/records.hpp"
#include "common/views.hpp"
#include "monitoring.hpp"
#include "zelvora/bin_lookup.hpp"

namespace nb = nanobind;
using namespace zelvora::py;

namespace {

struct State {
  Held<nb::object> numerical, categorical;  // AttributeDataType members
  Held<nb::object> feature_binning;         // the binning record class
  Held<BinRecordTypes> bins;
  Held<nb::str> binning{"binning"}, attribute{"attribute"}, get_numerical_bin{"_get_numerical_bin"},
      get_categorical_bin{"_get_categorical_bin"};
};

ModuleState<State> state;

// --- the monitoring lookups: the bin record itself, every name tested, nothing logged ---

void check_binning(nb::handle binning) {
  check_argument_type(binning, reinterpret_cast<PyTypeObject*>(state->feature_binning.ptr()),
                      "binning", NoneAllowed::no);
}

nb::object get_numerical_bin(nb::handle, nb::handle binning, nb::handle value) {
  check_binning(binning);
  check_argument_type(value, &PyFloat_Type, "value", NoneAllowed::yes);
  const double x =
      value.is_none() ? std::numeric_limits<double>::quiet_NaN() : PyFloat_AS_DOUBLE(value.ptr());
  return find_numerical_bin_record(state->bins, binning, x, zelvora::kMonitoringPolicy).bin;
}

nb::object get_categorical_bin(nb::handle, nb::handle binning, nb::handle value) {
  check_binning(binning);
  return find_categorical_bin_record(state->bins, binning, value, zelvora::kMonitoringPolicy).bin;
}

// --- the record's operations -----------------------------------------------------------

// The binnings of a tracking record, as a list of its own: comparing attribute names may
// run Python code, which must not see a slot of the record's list held across it.
nb::list binnings_of(nb::handle self) {
  nb::object binnings = nb::getattr(self, state->binning);
  return steal_or_throw<nb::list>(PySequence_List(binnings.ptr()));
}

bool binning_is_for(nb::handle binning, nb::handle attribute) {
  return nb::getattr(binning, state->attribute).equal(attribute);
}

}  // namespace

namespace zelvora::py {

ChosenBinning choose_binning(nb::handle self, nb::handle attribute, nb::handle attribute_dtype) {
  check_attribute(attribute);
  ChosenBinning chosen;
  for (nb::handle binning : binnings_of(self)) {
    if (binning_is_for(binning, attribute)) chosen.binning = nb::borrow(binning);
  }
  if (!chosen.binning.is_valid()) return chosen;
  if (attribute_dtype.equal(state->numerical)) {
    chosen.lookup = TrackingLookup::numerical;
  } else if (attribute_dtype.equal(state->categorical)) {
    chosen.lookup = TrackingLookup::categorical;
  }
  return chosen;
}

const BinRecordTypes& tracking_bin_types() {
  return state->bins;
}

}  // namespace zelvora::py

namespace {

bool feature_binning_exists(nb::handle self, nb::handle attribute) {
  check_attribute(attribute);
  for (nb::handle binning : binnings_of(self)) {
    if (binning_is_for(binning, attribute)) return true;
  }
  return false;
}

void remove_feature_binning(nb::handle self, nb::handle attribute) {
  check_attribute(attribute);
  nb::list kept;
  bool removed = false;
  for (nb::handle binning : binnings_of(self)) {
    if (binning_is_for(binning, attribute)) {
      removed = true;
    } else {
      kept.append(binning);
    }
  }
  if (!removed) return;
  // The record's own list object is changed, so that every holder of it sees the removal.
  nb::object binnings = nb::getattr(self, state->binning);
  if (PySequence_SetSlice(binnings.ptr(), 0, PY_SSIZE_T_MAX, kept.ptr()) < 0)
    throw nb::python_error();
}

nb::object get_feature_binning(nb::handle self, nb::handle attribute, nb::handle attribute_dtype,
                               nb::handle attribute_value) {
  const ChosenBinning chosen = choose_binning(self, attribute, attribute_dtype);
  if (chosen.lookup == TrackingLookup::none) return nb::none();
  nb::handle lookup = chosen.lookup == TrackingLookup::numerical ? state->get_numerical_bin
                                                                 : state->get_categorical_bin;
  // Through the class attribute, so that a derived record's lookup is the one used.
  return nb::getattr(self, lookup)(nb::arg("binning") = chosen.binning,
                                   nb::arg("value") = attribute_value);
}

// --- records ---------------------------------------------------------------------------

struct Records {
  nb::object data_type, numerical_bin, categorical_bin, feature_binning, tracking;
};

RecordDecl tracking_record(const Records& r, nb::handle core_model) {
  RecordDecl decl{
      .name = "PredictiveModelTracking",
      .doc = "Object holding data needed for models monitoring.",
      .base = core_model,
      .fields =
          {
              {"binning", list_of(r.feature_binning), default_factory(list_type())},
              {"predictive_model_output_binning", optional(r.feature_binning), default_none()},
          },
      .methods =
          {
              method("remove_feature_binning", &remove_feature_binning, nb::arg("attribute").none(),
                     nb::sig("def remove_feature_binning(self, attribute: str) -> None"),
                     "Removes every binning of the attribute from `binning`."),
              method("feature_binning_exists", &feature_binning_exists, nb::arg("attribute").none(),
                     nb::sig("def feature_binning_exists(self, attribute: str) -> bool"),
                     "Whether `binning` holds a binning of the attribute."),
              method("get_feature_binning", &get_feature_binning, nb::arg("attribute").none(),
                     nb::arg("attribute_dtype").none(), nb::arg("attribute_value").none(),
                     nb::sig("def get_feature_binning(self, attribute: str, "
                             "attribute_dtype: AttributeDataType | str, "
                             "attribute_value: str | float | None) -> "
                             "AttributeBinNumerical | AttributeBinCategorical | None"),
                     "The bin into which an observed value of the attribute falls, or None."),
              class_method("_get_numerical_bin", &get_numerical_bin, nb::arg("cls"),
                           nb::arg("binning").none(), nb::arg("value").none(),
                           nb::sig("def _get_numerical_bin(cls, binning: FeatureBinning, "
                                   "value: float | None) -> "
                                   "AttributeBinNumerical | AttributeBinCategorical | None"),
                           "The bin of a float (None or NaN for missing) in a binning, or None."),
              class_method("_get_categorical_bin", &get_categorical_bin, nb::arg("cls"),
                           nb::arg("binning").none(), nb::arg("value").none(),
                           nb::sig("def _get_categorical_bin(cls, binning: FeatureBinning, "
                                   "value: str | float | None) -> "
                                   "AttributeBinNumerical | AttributeBinCategorical | None"),
                           "The bin of a category (None, NaN or \"nan\" for missing) in a "
                           "binning, or None."),
          },
  };
  for (MethodDecl& m : monitoring_methods()) decl.methods.push_back(std::move(m));
  return decl;
}

Records declare_records(nb::module_& m) {
  nb::module_ binning_module = nb::module_::import_(module_path::kBinning);
  nb::object core_model = record_base();
  Records r;
  r.data_type = binning_module.attr("AttributeDataType");
  r.numerical_bin = binning_module.attr("AttributeBinNumerical");
  r.categorical_bin = binning_module.attr("AttributeBinCategorical");
  r.feature_binning = binning_module.attr("FeatureBinning");
  r.tracking = declare_record(m, tracking_record(r, core_model));
  return r;
}

void declare_views(nb::module_& m, const Records& r) {
  declare_view(m, {
                      .name = "PredictiveModelTrackingType",
                      .record = r.tracking,
                      .mirrored = {"binning", "predictive_model_output_binning"},
                  });
}

}  // namespace

NB_MODULE(model_tracking, m) {
  describe_module(m,
                  "The tracking of a model in production: the binnings of its inputs and "
                  "of its output.");
  load_api(m);
  Records records = declare_records(m);
  declare_views(m, records);
  State& s = state.emplace(m);
  init_monitoring(m);
  s.numerical = records.data_type.attr("NUMERICAL");
  s.categorical = records.data_type.attr("CATEGORICAL");
  s.feature_binning = records.feature_binning;
  s.bins.numerical_bin = records.numerical_bin;
  s.bins.categorical_bin = records.categorical_bin;
}
