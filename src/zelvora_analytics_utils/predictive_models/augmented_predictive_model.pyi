import abc
import enum
import io
from typing import Any, Optional, TypeVar

from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_preprocessing import (
    FeaturePreprocessing,
    FeaturePreprocessingType,
)
from zelvora_analytics_utils.predictive_models.model_summary.model_summary import (
    PredictiveModelSummary,
    PredictiveModelSummaryType,
)
from zelvora_analytics_utils.predictive_models.model_tracking.model_tracking import (
    PredictiveModelTracking,
    PredictiveModelTrackingType,
)
from zelvora_analytics_utils.predictive_models.score_performance.score_performance import (
    PredictiveScorePerformance,
    PredictiveScorePerformanceType,
)
from zelvora_analytics_utils.utils.core_model import CoreModel

_Model = TypeVar("_Model", bound=AbstractAugmentedPredictiveModel)

class PredictiveModelType(str, enum.Enum):
    LOGISTIC_REGRESSION = "LOGISTIC_REGRESSION"
    PMML = "PMML"
    XGB = "XGB"
    EXPERT_SCORE = "EXPERT_SCORE"
    RANDOM_FOREST = "RANDOM_FOREST"
    COX_PH_FITTER = "COX_PH_FITTER"

class PredictiveModelCategory(str, enum.Enum):
    STATIC = "STATIC"
    HORIZON = "HORIZON"
    NONE = "NONE"

class AbstractAugmentedPredictiveModel(CoreModel, abc.ABC):
    attributes: list[str] = ...
    predictive_model_type: Optional[PredictiveModelType] = None
    target: Optional[str] = None
    target_class: Optional[str] = None
    feature_preprocessing: FeaturePreprocessing = ...
    description: PredictiveModelSummary = ...
    performance: PredictiveScorePerformance = ...
    monitoring: PredictiveModelTracking = ...
    def preprocess_attributes(self) -> AbstractAugmentedPredictiveModel: ...
    def get_content(self) -> AugmentedPredictiveModelContent: ...
    @classmethod
    def parse_from_content(cls: type[_Model], content: AugmentedPredictiveModelContent) -> _Model: ...
    def get_coefficient(self, attribute: str) -> Optional[float]: ...
    @abc.abstractmethod
    def _migrate(self) -> None: ...
    @abc.abstractmethod
    def get_external_model_stringio(self) -> io.StringIO: ...
    @abc.abstractmethod
    def get_external_model_feature_names(self) -> Optional[list[str]]: ...
    @abc.abstractmethod
    def get_external_model_intercept(self) -> Optional[float]: ...
    @abc.abstractmethod
    def get_external_model_intercept_name(self) -> Optional[str]: ...
    @abc.abstractmethod
    def get_external_model_coefficients(self) -> Optional[list[float]]: ...
    @abc.abstractmethod
    def get_external_model_best_iteration(self) -> Optional[int]: ...
    @abc.abstractmethod
    def get_external_model_number_of_trees(self) -> Optional[int]: ...
    @abc.abstractmethod
    def get_external_model_number_of_attributes(self) -> Optional[int]: ...
    @abc.abstractmethod
    def get_external_model_best_eval_metric(self) -> Optional[float]: ...
    def get_external_model_category(self) -> PredictiveModelCategory: ...

class AugmentedPredictiveModel(AbstractAugmentedPredictiveModel):
    directory_name: Optional[str] = None
    external_model: dict[str, Any] = ...
    def _migrate(self) -> None: ...
    def get_external_model_stringio(self) -> io.StringIO: ...
    def get_external_model_feature_names(self) -> Optional[list[str]]: ...
    def get_external_model_intercept(self) -> Optional[float]: ...
    def get_external_model_intercept_name(self) -> Optional[str]: ...
    def get_external_model_coefficients(self) -> Optional[list[float]]: ...
    def get_external_model_best_iteration(self) -> Optional[int]: ...
    def get_external_model_number_of_trees(self) -> Optional[int]: ...
    def get_external_model_number_of_attributes(self) -> Optional[int]: ...
    def get_external_model_best_eval_metric(self) -> Optional[float]: ...

class ExternalPredictiveModelType:
    extended_model: AugmentedPredictiveModel
    def __init__(self, *, extended_model: AugmentedPredictiveModel) -> None: ...
    coefficients: Optional[list[float]]
    intercept: Optional[float]
    intercept_name: Optional[str]
    best_eval_metric: Optional[float]
    best_iteration: Optional[int]
    number_of_attributes: Optional[int]
    number_of_trees: Optional[int]

class AugmentedPredictiveModelType:
    directory_name: Optional[str]
    attributes: list[str]
    predictive_model_type: Optional[PredictiveModelType]
    target: Optional[str]
    target_class: Optional[str]
    feature_preprocessing: FeaturePreprocessingType
    description: PredictiveModelSummaryType
    performance: PredictiveScorePerformanceType
    monitoring: PredictiveModelTrackingType
    formula: Optional[str]
    external_model: ExternalPredictiveModelType
    category: PredictiveModelCategory
    @classmethod
    def from_pydantic(
        cls, instance: AugmentedPredictiveModel, extra: Optional[dict[str, Any]] = None
    ) -> AugmentedPredictiveModelType: ...
