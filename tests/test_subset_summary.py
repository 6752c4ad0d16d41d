import datetime

import pydantic
import pytest
import strawberry

from zelvora_analytics_utils.predictive_models.model_summary import subset_summary as ss
from zelvora_analytics_utils.predictive_models.model_summary.subset_summary import (
    ClassFrequency,
    ClassFrequencyType,
    SampleDescription,
    SampleDescriptionType,
)
from zelvora_analytics_utils.predictive_models.score_performance.subset_performance import SampleType
from zelvora_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml


def test_records_carry_their_documentation_and_fields():
    assert SampleDescription.__doc__ == (
        "Object for storing descriptive information about samples used in models development (train/valid/test/...)"
    )
    assert list(SampleDescription.model_fields) == [
        "sample_type",
        "first_date",
        "last_date",
        "number_of_observations",
        "label_class_frequency",
    ]
    assert list(ClassFrequency.model_fields) == ["label_class", "number_of_observations"]
    assert ss.SampleType is SampleType


def test_empty_sample_description():
    sample = SampleDescription.model_validate({})
    assert all(getattr(sample, name) is None for name in SampleDescription.model_fields)
    assert sample.model_dump(exclude_defaults=True) == {}
    assert valid_dumps_yaml(sample) == "{}\n"


def test_sample_description_validates_and_writes_its_fields():
    sample = SampleDescription.model_validate(
        {
            "sample_type": "OOT",
            "first_date": "2024-01-01",
            "last_date": datetime.date(2023, 12, 31),
            "number_of_observations": 5,
            "label_class_frequency": [{"label_class": 1, "number_of_observations": 7}, {"label_class": "1"}],
        }
    )
    assert sample.sample_type is SampleType.OOT
    assert (sample.first_date, sample.last_date) == (datetime.date(2024, 1, 1), datetime.date(2023, 12, 31))
    assert [type(f.label_class) for f in sample.label_class_frequency] == [int, str]
    text = valid_dumps_yaml(sample)
    assert "first_date: '2024-01-01'" in text and "sample_type: OOT" in text
    assert safe_loads_yaml(text) == {
        "first_date": "2024-01-01",
        "label_class_frequency": [{"label_class": 1, "number_of_observations": 7}, {"label_class": "1"}],
        "last_date": "2023-12-31",
        "number_of_observations": 5,
        "sample_type": "OOT",
    }
    assert SampleDescription.model_validate(safe_loads_yaml(text)) == sample


@pytest.mark.parametrize(
    "data",
    [
        {"sample_type": "oot"},
        {"sample_type": "HOLDOUT"},
        {"first_date": "someday"},
        {"number_of_observations": "many"},
        {"label_class_frequency": [{"number_of_observations": 1}]},
        {"label_class_frequency": [{"label_class": 1, "extra": 2}]},
        {"extra": 1},
    ],
)
def test_bad_sample_descriptions_fail_validation(data):
    with pytest.raises(pydantic.ValidationError):
        SampleDescription.model_validate(data)


@pytest.mark.parametrize("label", [1, 1.0, True, "1", 0, None, ["a"]])
def test_label_class_is_kept_without_conversion(label):
    frequency = ClassFrequency(label_class=label)
    assert frequency.label_class == label and type(frequency.label_class) is type(label)
    assert frequency.number_of_observations is None


def test_class_frequency_requires_its_label():
    with pytest.raises(pydantic.ValidationError):
        ClassFrequency()
    with pytest.raises(pydantic.ValidationError):
        ClassFrequency(number_of_observations=3)


# --- query views -----------------------------------------------------------------------

CURRENT: list[SampleDescription] = []


@strawberry.type
class Query:
    @strawberry.field
    def sample(self) -> SampleDescriptionType:
        return CURRENT[-1]

    @strawberry.field
    def frequency(self) -> ClassFrequencyType:
        return CURRENT[-1].label_class_frequency[0]


SCHEMA = strawberry.Schema(query=Query)
QUERY = """{ sample { sampleType firstDate lastDate numberOfObservations
                      labelClassFrequency { labelClass numberOfObservations } } }"""


@pytest.mark.parametrize(
    ("label", "text"),
    [(1, "1"), (1.0, "1.0"), (True, "True"), (False, "False"), (0, "0"), ("good", "good"), (2.5e-7, "2.5e-07"), (None, "None")],
)
def test_view_shows_label_class_as_text(execute, label, text):
    CURRENT.append(SampleDescription(label_class_frequency=[{"label_class": label}]))
    result = execute(SCHEMA, "{ frequency { labelClass numberOfObservations } }")
    assert result.errors is None, result.errors
    assert result.data == {"frequency": {"labelClass": text, "numberOfObservations": None}}


def test_view_mirrors_the_sample(execute):
    CURRENT.append(
        SampleDescription(
            sample_type="CV",
            first_date="2024-01-01",
            last_date="2023-12-31",
            number_of_observations=9,
            label_class_frequency=[{"label_class": 0, "number_of_observations": 6}, {"label_class": 1, "number_of_observations": 4}],
        )
    )
    result = execute(SCHEMA, QUERY)
    assert result.errors is None, result.errors
    assert result.data == {
        "sample": {
            "sampleType": "CV",
            "firstDate": "2024-01-01",
            "lastDate": "2023-12-31",
            "numberOfObservations": 9,
            "labelClassFrequency": [
                {"labelClass": "0", "numberOfObservations": 6},
                {"labelClass": "1", "numberOfObservations": 4},
            ],
        }
    }
    CURRENT.append(SampleDescription())
    assert execute(SCHEMA, QUERY).data == {
        "sample": {
            "sampleType": None,
            "firstDate": None,
            "lastDate": None,
            "numberOfObservations": None,
            "labelClassFrequency": None,
        }
    }


def test_schema_types_of_the_views():
    sdl = SCHEMA.as_str()
    assert "labelClass: String!" in sdl
    assert "sampleType: SampleType" in sdl
    assert "labelClassFrequency: [ClassFrequencyType!]" in sdl
