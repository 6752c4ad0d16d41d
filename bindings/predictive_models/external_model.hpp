// The external model of an AugmentedPredictiveModel: the readers of its fitted figures
// (coefficients, intercept, tree counts, ...) and the conversion of numpy values in it to
// plain data on input.
#pragma once

#include <nanobind/nanobind.h>

namespace zelvora::models {

namespace nb = nanobind;

/// Loads the readers' state into module `m`; `model_type` is the PredictiveModelType enum.
void load_external_model(nb::module_& m, nb::handle model_type);

/// Whether the model's predictive_model_type equals `member`.
bool type_is(nb::handle model, nb::handle member);

/// None or an empty list (the readers return lists only).
bool is_none_or_empty(nb::handle value);

nb::object get_feature_names(nb::handle self);
nb::object get_intercept(nb::handle self);
nb::object get_intercept_name(nb::handle self);
nb::object get_coefficients(nb::handle self);
nb::object get_best_iteration(nb::handle self);
nb::object get_number_of_trees(nb::handle self);
nb::object get_number_of_attributes(nb::handle self);
nb::object get_best_eval_metric(nb::handle self);
nb::object get_stringio(nb::handle self);

/// Before validation: an input mapping whose external model holds numpy values, as a copy
/// with them made plain data; any other input as it is.
nb::object plain_external_model(nb::handle cls, nb::handle data);

}  // namespace zelvora::models
