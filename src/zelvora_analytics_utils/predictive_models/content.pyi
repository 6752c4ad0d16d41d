import io
import os
from typing import BinaryIO, Optional, Union

__all__ = ["AugmentedPredictiveModelContent"]

_Path = Union[str, os.PathLike[str]]

class AugmentedPredictiveModelContent:
    augmented_predictive_model_yaml: io.StringIO
    external_model_json: Optional[io.StringIO]
    external_model_pmml: Optional[io.StringIO]
    attached_images: dict[str, io.BytesIO]
    def __init__(
        self,
        augmented_predictive_model_yaml: io.StringIO,
        external_model_json: Optional[io.StringIO] = None,
        external_model_pmml: Optional[io.StringIO] = None,
        attached_images: Optional[dict[str, io.BytesIO]] = None,
    ) -> None: ...
    def save_to_directory(self, directory: _Path, pmml_filename: Optional[str] = None) -> None: ...
    def save_to_tar(self) -> io.BytesIO: ...
    def save_to_zip(self, pmml_filename: Optional[str] = None) -> io.BytesIO: ...
    @classmethod
    def load_from_directory(
        cls, directory: _Path, *, max_size: int = 536870912
    ) -> AugmentedPredictiveModelContent: ...
    @classmethod
    def load_from_tar(
        cls, tar_content: Union[BinaryIO, _Path], *, max_size: int = 536870912
    ) -> AugmentedPredictiveModelContent: ...
    @classmethod
    def load_from_zip(
        cls, zip_content: Union[BinaryIO, _Path], *, max_size: int = 536870912
    ) -> AugmentedPredictiveModelContent: ...
