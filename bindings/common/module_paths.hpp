// The dotted paths of the package's compiled modules, named once. The macros are for
// literals that join a path with more text (a signature naming a class); code uses the
// constants.
#pragma once

#define ZELVORA_PACKAGE "zelvora_analytics_utils"
#define ZELVORA_MODELS ZELVORA_PACKAGE ".predictive_models"
#define ZELVORA_CONTENT_MODULE ZELVORA_MODELS ".content"

namespace zelvora::py::module_path {

inline constexpr const char* kCoreModel = ZELVORA_PACKAGE ".utils.core_model";
inline constexpr const char* kDump = ZELVORA_PACKAGE ".utils.dump";
inline constexpr const char* kTesting = ZELVORA_PACKAGE "._testing";
inline constexpr const char* kContent = ZELVORA_CONTENT_MODULE;
inline constexpr const char* kModel = ZELVORA_MODELS ".augmented_predictive_model";
inline constexpr const char* kPreprocessing =
    ZELVORA_MODELS ".feature_preprocessing.feature_preprocessing";
inline constexpr const char* kBinning = ZELVORA_MODELS ".feature_preprocessing.feature_binning";
inline constexpr const char* kTransformation =
    ZELVORA_MODELS ".feature_preprocessing.feature_transformation";
inline constexpr const char* kSummary = ZELVORA_MODELS ".model_summary.model_summary";
inline constexpr const char* kSubsetSummary = ZELVORA_MODELS ".model_summary.subset_summary";
inline constexpr const char* kPerformance = ZELVORA_MODELS ".score_performance.score_performance";
inline constexpr const char* kSubsetPerformance =
    ZELVORA_MODELS ".score_performance.subset_performance";
inline constexpr const char* kTracking = ZELVORA_MODELS ".model_tracking.model_tracking";

}  // namespace zelvora::py::module_path
