"""Bins and binnings for the tests: as a stored model writes them, and as records."""

import math

from zelvora_analytics_utils.predictive_models.feature_preprocessing.feature_binning import FeatureBinning

INF = math.inf


def num(id, lower=None, upper=None, value=None, name=None):
    """A numerical bin: the interval (lower, upper]; named after it unless `name` is given."""
    data = {"type": "NUMERICAL", "id": id, "lower_bound": lower, "upper_bound": upper, "value": value}
    if name is not None:
        data["name"] = name
    return data


def cat(id, categories=None, value=None, name=None):
    return {"type": "CATEGORICAL", "id": id, "categories": categories, "value": value, "name": name}


def binning_data(bins, attribute="a", data_type="NUMERICAL"):
    return {"attribute": attribute, "attribute_data_type": data_type, "feature_binning": list(bins)}


def binning(bins, attribute="a", data_type="NUMERICAL"):
    return FeatureBinning.model_validate(binning_data(bins, attribute, data_type))
