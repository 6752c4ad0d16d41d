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


# --- a realistic model for the report: 20 binnings and production data for them -------------

# (attribute, centre, spread, inner bin edges, lowest bound or None for -inf, missing share)
REPORT_NUMERICAL = [
    ("age", 42.0, 12.0, [25, 35, 45, 55, 65], 18.0, 0.01),
    ("income", 3200.0, 1400.0, [1500, 2500, 3500, 5000], None, 0.06),
    ("months_employed", 60.0, 40.0, [6, 24, 60, 120], 0.0, 0.03),
    ("debt_ratio", 0.35, 0.18, [0.1, 0.25, 0.4, 0.6], None, 0.02),
    ("credit_limit", 5000.0, 2500.0, [1000, 3000, 6000, 9000], 0.0, 0.04),
    ("utilisation", 0.45, 0.25, [0.1, 0.3, 0.5, 0.8], None, 0.05),
    ("num_accounts", 4.0, 2.0, [1, 3, 5], 0.0, 0.0),
    ("months_since_delinquency", 30.0, 20.0, [6, 12, 24, 48], None, 0.35),
    ("loan_amount", 12000.0, 6000.0, [5000, 10000, 15000, 25000], 500.0, 0.0),
    ("loan_term", 48.0, 18.0, [24, 36, 60], None, 0.0),
    ("savings", 8000.0, 6000.0, [1000, 5000, 10000, 20000], None, 0.12),
    ("inquiries_6m", 1.5, 1.2, [0.5, 1.5, 3.5], None, 0.02),
]
# (attribute, {category: share}, bins as category lists, share of values in no bin, missing share)
REPORT_CATEGORICAL = [
    ("city", {"Prague": 0.3, "Brno": 0.15, "Ostrava": 0.1, "Plzen": 0.08, "Liberec": 0.07, "Olomouc": 0.3},
     [["Prague"], ["Brno", "Ostrava"], ["Plzen", "Liberec"], ["Olomouc"]], 0.02, 0.01),
    ("housing", {"own": 0.45, "rent": 0.35, "parents": 0.15, "other": 0.05},
     [["own"], ["rent"], ["parents", "other"]], 0.01, 0.0),
    ("education", {"primary": 0.1, "secondary": 0.5, "university": 0.35, "doctorate": 0.05},
     [["primary"], ["secondary"], ["university", "doctorate"]], 0.0, 0.03),
    ("marital_status", {"single": 0.4, "married": 0.45, "divorced": 0.1, "widowed": 0.05},
     [["single"], ["married"], ["divorced", "widowed"]], 0.01, 0.02),
    ("employment_type", {"employee": 0.6, "self-employed": 0.2, "retired": 0.12, "student": 0.08},
     [["employee"], ["self-employed"], ["retired"], ["student"]], 0.02, 0.01),
    ("channel", {"branch": 0.3, "web": 0.45, "mobile": 0.2, "broker": 0.05},
     [["branch"], ["web", "mobile"], ["broker"]], 0.0, 0.0),
    ("product", {"card": 0.4, "loan": 0.35, "mortgage": 0.15, "overdraft": 0.1},
     [["card"], ["loan"], ["mortgage"], ["overdraft"]], 0.01, 0.0),
    ("region", {"north": 0.25, "south": 0.25, "east": 0.2, "west": 0.2, "centre": 0.1},
     [["north", "east"], ["south"], ["west", "centre"]], 0.03, 0.02),
]
# The attributes in model order: numerical and categorical interleaved.
REPORT_ATTRIBUTES = [a[0] for pair in zip(REPORT_NUMERICAL, REPORT_CATEGORICAL) for a in pair] + [
    a[0] for a in REPORT_NUMERICAL[len(REPORT_CATEGORICAL):]
]
# Drift of production data from development, per attribute in model order (in spreads for
# numbers, mixing weight for categories): PSIs spread over the three bands.
REPORT_DRIFT = [0.0, 0.05, 0.15, 0.3, 0.5, 0.8, 1.2, 0.1, 0.25, 0.6, 0.02, 0.4, 0.9, 0.2, 0.35, 0.08, 0.7, 0.0, 0.45, 0.12]
REPORT_CATCH_ALL_VALUE = "unknown"


def _normal_cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0))) if math.isfinite(x) else float(x > 0)


def _numerical_report_binnings(spec, k):
    name, centre, spread, edges, lowest, missing = spec
    bounds = [-INF if lowest is None else lowest] + list(edges) + [INF]
    shares = [
        (1 - missing) * (_normal_cdf((b - centre) / spread) - _normal_cdf((a - centre) / spread))
        for a, b in zip(bounds, bounds[1:])
    ]
    below = (1 - missing) * _normal_cdf((bounds[0] - centre) / spread)
    intervals = []
    for i, (a, b, share) in enumerate(zip(bounds, bounds[1:], shares)):
        rate = 0.02 + 0.2 * (1 - i / len(shares)) ** 2
        intervals.append(num(i + 2, a, b) | {"frequency": share, "target_rate": rate})
    if k % 3 == 1:  # stored out of bound order, as hand-edited models are
        intervals.reverse()
    null = num(1, name="1_null") | {"frequency": missing, "target_rate": 0.15}
    default = num(0, name="0_default") | {"frequency": below, "target_rate": 0.1}
    return intervals, null, default


def _categorical_report_binnings(spec):
    name, shares, groups, unknown, missing = spec
    known = 1 - unknown - missing
    bins = [
        cat(i + 2, group) | {"frequency": known * sum(shares[c] for c in group), "target_rate": 0.03 + 0.04 * i}
        for i, group in enumerate(groups)
    ]
    null = cat(1, name="1_null") | {"frequency": missing, "target_rate": 0.12}
    default = cat(0, name="0_default") | {"frequency": unknown, "target_rate": 0.09}
    return bins, null, default


def report_binnings(attributes=20):
    """(preprocessing binnings with value, frequency and target rate; monitoring binnings of
    the same attributes with frequency only), as plain data, for the first `attributes`."""
    numerical = {s[0]: s for s in REPORT_NUMERICAL}
    categorical = {s[0]: s for s in REPORT_CATEGORICAL}
    preprocessing, monitoring = [], []
    for k, attribute in enumerate(REPORT_ATTRIBUTES[:attributes]):
        if attribute in numerical:
            bins, null, default = _numerical_report_binnings(numerical[attribute], k)
            data_type = "NUMERICAL"
        else:
            bins, null, default = _categorical_report_binnings(categorical[attribute])
            data_type = "CATEGORICAL"
        ordinary = list(bins)
        rates = [b["target_rate"] for b in ordinary + [null, default]]
        mean_rate = sum(rates) / len(rates)
        valued = [b | {"value": round(math.log(mean_rate / b["target_rate"]), 4)} for b in ordinary + [null, default]]
        binning = binning_data(valued, attribute, data_type) | {"binned_attribute_name": f"{attribute}_woe"}
        if k == 2:  # one binning without development frequencies
            binning["feature_binning"] = [{**b, "frequency": None} for b in valued]
        preprocessing.append(binning)
        plain = [{key: v for key, v in b.items() if key not in ("value", "target_rate")} for b in ordinary + [null, default]]
        monitoring.append(binning_data(plain, attribute, data_type))
    return preprocessing, monitoring


def report_model_data(attributes=20):
    """The plain data of a logistic regression scorecard over the first `attributes` report
    attributes, with its external model's data: (document, external model)."""
    preprocessing, monitoring = report_binnings(attributes)
    names = REPORT_ATTRIBUTES[:attributes]
    document = {
        "attributes": names,
        "predictive_model_type": "LOGISTIC_REGRESSION",
        "target": "default_12m",
        "target_class": "1",
        "directory_name": "retail_scorecard",
        "feature_preprocessing": {"binning": preprocessing},
        "monitoring": {"binning": monitoring},
        "description": {
            "predictive_model_name": "Retail application scorecard",
            "predictive_model_created": "2026-03-02",
            "sample_metadata": [
                {"sample_type": "TRAIN", "first_date": "2024-01-01", "last_date": "2025-06-30", "number_of_observations": 184_220,
                 "label_class_frequency": [{"label_class": "0", "number_of_observations": 171_324}, {"label_class": "1", "number_of_observations": 12_896}]},
                {"sample_type": "OOT", "first_date": "2025-07-01", "last_date": "2025-12-31", "number_of_observations": 52_410},
            ],
            "attribute_description": {n: f"applicant's {n.replace('_', ' ')}" for n in names[:5]},
            "hyperparameters": {"penalty": "l2", "C": 0.5, "solver": "lbfgs"},
            "general_notes": {"note_1": "Binned with monotone WOE; bins merged below 5% of the sample."},
        },
        "performance": {
            "subset_performance": [
                {"sample": "TRAIN", "target": "default_12m", "performance": {"AUC": 0.781, "GINI": 0.562, "KS": 0.421}},
                {"sample": "OOT", "target": "default_12m", "performance": {"AUC": 0.764, "GINI": 0.528, "KS": 0.398}},
            ],
            "performance_metrics": ["AUC", "GINI", "KS"],
        },
    }
    coefficients = [round(0.35 + 0.05 * (k % 7), 3) for k in range(len(names))]
    external = {"feature_names": [f"{n}_woe" for n in names], "model": {"coef_": [coefficients], "intercept_": [-2.65]}}
    return document, external


def report_model(path, attributes=20):
    """Writes the report model's zip bundle at `path` (a pathlib.Path); returns `path`."""
    import io
    import json

    from zelvora_analytics_utils.predictive_models.content import AugmentedPredictiveModelContent
    from zelvora_analytics_utils.utils.dump import valid_dumps_yaml

    document, external = report_model_data(attributes)
    content = AugmentedPredictiveModelContent(
        io.StringIO(valid_dumps_yaml(document)), external_model_json=io.StringIO(json.dumps(external))
    )
    path.write_bytes(content.save_to_zip().getvalue())
    return path


def report_data(n, seed=0, attributes=20, drift=REPORT_DRIFT):
    """`n` production rows for the report model's first `attributes` attributes, drifted from
    development by `drift`: {attribute: numpy column}, numbers as float64 (NaN missing),
    categories as object arrays of str (None missing)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    numerical = {s[0]: s for s in REPORT_NUMERICAL}
    categorical = {s[0]: s for s in REPORT_CATEGORICAL}
    columns = {}
    for k, attribute in enumerate(REPORT_ATTRIBUTES[:attributes]):
        if attribute in numerical:
            _, centre, spread, _, _, missing = numerical[attribute]
            values = rng.normal(centre + drift[k] * spread, spread, n)
            values[rng.random(n) < missing] = np.nan
        else:
            _, shares, _, unknown, missing = categorical[attribute]
            names = list(shares) + [REPORT_CATCH_ALL_VALUE, None]
            known = 1 - unknown - missing
            base = np.array([known * s for s in shares.values()] + [unknown, missing])
            shifted = np.roll(base[:-2], 1)  # drift moves shares to the next category
            weight = min(drift[k], 1.0)
            p = np.concatenate([(1 - weight) * base[:-2] + weight * shifted, base[-2:]])
            values = np.array(names, dtype=object)[rng.choice(len(names), n, p=p / p.sum())]
        columns[attribute] = values
    return columns


def write_report_data(path, columns):
    """Writes columns as report_data gives them to a CSV file (stdlib csv, empty = missing)
    or, for a .parquet path, a Parquet file; returns `path`."""
    import csv

    import numpy as np

    if str(path).endswith(".parquet"):
        import pyarrow as pa
        import pyarrow.parquet as pq

        arrays = {
            name: pa.array(col, from_pandas=True) if col.dtype.kind == "f" else pa.array(col, type=pa.string())
            for name, col in columns.items()
        }
        pq.write_table(pa.table(arrays), path)
        return path
    names = list(columns)
    rows = zip(*(["" if v is None or (isinstance(v, float) and np.isnan(v)) else v for v in columns[n].tolist()] for n in names))
    with open(path, "w", newline="", encoding="utf-8") as file:
        writer = csv.writer(file)
        writer.writerow(names)
        writer.writerows(rows)
    return path


def numpy_stability_index(frequencies, counts):
    """The population stability index computed with numpy, independently of the package."""
    import numpy as np

    shares = [np.asarray(side, dtype=float) for side in (frequencies, counts)]
    expected, actual = (np.where(s == 0, 1e-4, s / s.sum() if s.sum() else s) for s in shares)
    return float(np.sum((actual - expected) * np.log(actual / expected)))
