// Counting runs the column reader of bin_array (common/column_reader.hpp) over column
// binnings whose bin values are the bins' indices (zelvora/monitoring.hpp), compiled
// under the monitoring policy, so that each value lands where get_feature_binning puts
// it; what the kernels leave over is looked up value by value with the monitoring lookups
// themselves.
#include "monitoring.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/arguments.hpp"
#include "common/column_reader.hpp"
#include "common/compiled_bins.hpp"
#include "common/conversions.hpp"
#include "common/module_state.hpp"
#include "zelvora/monitoring.hpp"

namespace zelvora::py {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct State {
  Held<nb::str> frequency{"frequency"};
};

ModuleState<State> state("_zelvora_monitoring_state");

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, from_text_bytes(message).ptr());
  throw nb::python_error();
}

// The bins of a binning, as a list of our own.
nb::list bins_of(nb::handle binning) {
  nb::object bins = record_field(binning, tracking_bin_types().feature_binning);
  return steal_or_throw<nb::list>(PySequence_List(bins.ptr()));
}

// Bin indices of a column's values under the monitoring lookups.
class IndexLookup final : public ColumnLookup {
 public:
  IndexLookup(ChosenBinning chosen, nb::list bins)
      : chosen_(std::move(chosen)), bins_(std::move(bins)) {
    operation = "bin_counts";
    const BinRecordTypes& types = tracking_bin_types();
    const std::vector<double> indices = zelvora::bin_index_values(nb::len(bins_));
    if (chosen_.lookup == TrackingLookup::numerical) {
      if (auto c = compile_numeric_bins(types, chosen_.binning, zelvora::kMonitoringPolicy))
        numeric_.emplace(std::move(c->compiled), indices);
    } else if (chosen_.lookup == TrackingLookup::categorical) {
      if (auto c = compile_categoric_bins(types, chosen_.binning, zelvora::kMonitoringPolicy))
        categoric_.emplace(std::move(c->compiled), indices);
    }
    numeric = numeric_ ? &*numeric_ : nullptr;
    categoric = categoric_ ? &*categoric_ : nullptr;
  }
  IndexLookup(const IndexLookup&) = delete;
  IndexLookup& operator=(const IndexLookup&) = delete;

  double one(nb::handle value, zelvora::DefaultHits& hits) const override {
    const BinRecordTypes& types = tracking_bin_types();
    const bool missing = is_missing_column_value(value);
    switch (chosen_.lookup) {
      case TrackingLookup::none:
        return kNaN;
      case TrackingLookup::numerical: {
        if (!missing && (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())))
          raise_argument_type_error(value, "values", "float");
        const double x = missing ? kNaN : to_double(steal_or_throw(PyNumber_Float(value.ptr())));
        if (numeric) return numeric->bin_one(x, hits);
        return index_of(
            find_numerical_bin_record(types, chosen_.binning, x, zelvora::kMonitoringPolicy).bin);
      }
      case TrackingLookup::categorical:
        if (categoric && missing) return categoric->bin_missing(hits);
        if (categoric && PyUnicode_CheckExact(value.ptr())) {
          if (std::optional<std::string_view> ascii = ascii_view(value))
            return categoric->bin_text(*ascii, hits);
          return categoric->bin_text(text_bytes(value), hits);
        }
        return index_of(find_categorical_bin_record(types, chosen_.binning,
                                                    missing ? nb::none() : value,
                                                    zelvora::kMonitoringPolicy)
                            .bin);
    }
    return kNaN;
  }

  [[noreturn]] void raise_incomplete(const zelvora::ReachedIncompleteBin&) const override {
    throw std::logic_error("the monitoring lookup skips incomplete bins");
  }

 private:
  // The index of a bin record in the binning (the first holding that very record, as the
  // lookup finds it first), NaN for None.
  double index_of(nb::handle bin) const {
    if (bin.is_none()) return kNaN;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bins_.ptr()); ++i)
      if (PyList_GET_ITEM(bins_.ptr(), i) == bin.ptr()) return static_cast<double>(i);
    raise(PyExc_RuntimeError, "the binning's bins changed while its values were counted");
  }

  ChosenBinning chosen_;
  nb::list bins_;
  std::optional<zelvora::NumericColumnBinning> numeric_;
  std::optional<zelvora::CategoricColumnBinning> categoric_;
};

// A count: an int (numpy's included, bool not) that is not negative.
nb::object checked_count(nb::handle key, nb::handle count) {
  if (PyBool_Check(count.ptr()) || !PyIndex_Check(count.ptr()))
    raise(PyExc_TypeError, "the count of " + text_of(nb::repr(key)) + " must be an int, not " +
                               Py_TYPE(count.ptr())->tp_name);
  nb::object number = steal_or_throw(PyNumber_Index(count.ptr()));
  const int negative = PyObject_RichCompareBool(number.ptr(), nb::int_(0).ptr(), Py_LT);
  if (negative < 0) throw nb::python_error();
  if (negative)
    raise(PyExc_ValueError,
          "the count of " + text_of(nb::repr(key)) + " is negative: " + text_of(nb::repr(number)));
  return number;
}

// The items of a counts dict, each count checked, as a list of our own.
nb::list count_items(nb::handle counts) {
  check_argument_type(counts, &PyDict_Type, "counts", NoneAllowed::no);
  nb::list items = steal_or_throw<nb::list>(PyDict_Items(counts.ptr()));
  nb::list checked;
  for (nb::handle item : items) {
    nb::object key = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
    checked.append(nb::make_tuple(key, checked_count(key, PyTuple_GET_ITEM(item.ptr(), 1))));
  }
  return checked;
}

// Adds `count` to the entry of `key` (first seen: inserted in order).
void add_count(nb::dict& into, nb::handle key, nb::handle count) {
  PyObject* held = PyDict_GetItemWithError(into.ptr(), key.ptr());
  if (!held && PyErr_Occurred()) throw nb::python_error();
  nb::object sum =
      held ? steal_or_throw(PyNumber_Add(nb::object(nb::borrow(held)).ptr(), count.ptr()))
           : nb::borrow(count);
  into[key] = sum;
}

nb::dict bin_counts(nb::handle self, nb::handle attribute, nb::handle attribute_dtype,
                    nb::handle values) {
  ChosenBinning chosen = choose_binning(self, attribute, attribute_dtype);
  nb::list bins = chosen.binning.is_valid() ? bins_of(chosen.binning) : nb::list();
  const std::size_t n = nb::len(bins);
  const IndexLookup lookup(std::move(chosen), bins);
  ColumnResults results;
  zelvora::DefaultHits hits;
  read_column(lookup, values, results, hits);
  std::vector<std::uint64_t> counts(n + 1);
  {
    nb::gil_scoped_release released;
    zelvora::count_bin_indices(std::span<const double>(results.data(), results.size()), counts);
  }
  nb::dict result;
  const BinRecordTypes& types = tracking_bin_types();
  for (std::size_t i = 0; i < n; ++i) {
    nb::object name = record_field(
        nb::handle(PyList_GET_ITEM(bins.ptr(), static_cast<Py_ssize_t>(i))), types.name);
    add_count(result, name, nb::int_(counts[i]));
  }
  add_count(result, nb::none(), nb::int_(counts[n]));
  return result;
}

double stability_index(nb::handle self, nb::handle attribute, nb::handle attribute_dtype,
                       nb::handle counts) {
  const ChosenBinning chosen = choose_binning(self, attribute, attribute_dtype);
  const std::string name_text = text_of(attribute);
  if (!chosen.binning.is_valid())
    raise(PyExc_ValueError, "no binning of attribute '" + name_text + "'");
  if (chosen.lookup == TrackingLookup::none)
    raise(PyExc_ValueError, "attribute_dtype " + text_of(nb::repr(attribute_dtype)) +
                                " is neither NUMERICAL nor CATEGORICAL");
  nb::dict observed;
  for (nb::handle item : count_items(counts))
    observed[nb::handle(PyTuple_GET_ITEM(item.ptr(), 0))] =
        nb::handle(PyTuple_GET_ITEM(item.ptr(), 1));
  // Bins with a frequency, by name: counts are keyed by name, so equal names are one bin.
  const BinRecordTypes& types = tracking_bin_types();
  nb::dict position_of_name;
  std::vector<nb::object> names;
  std::vector<double> expected, actual;
  for (nb::handle bin : bins_of(chosen.binning)) {
    nb::object frequency = record_field(bin, state->frequency);
    if (frequency.is_none()) continue;
    const double share = to_double(frequency);
    nb::object name = record_field(bin, types.name);
    nb::object position = nb::borrow(PyDict_GetItemWithError(position_of_name.ptr(), name.ptr()));
    if (!position.is_valid() && PyErr_Occurred()) throw nb::python_error();
    if (position.is_valid()) {
      expected[nb::cast<std::size_t>(position)] += share;
    } else {
      position_of_name[name] = nb::int_(names.size());
      names.push_back(std::move(name));
      expected.push_back(share);
    }
  }
  if (names.empty())
    raise(PyExc_ValueError, "no bin of attribute '" + name_text + "' has a frequency");
  for (const nb::object& name : names) {
    nb::object count = nb::borrow(PyDict_GetItemWithError(observed.ptr(), name.ptr()));
    if (!count.is_valid() && PyErr_Occurred()) throw nb::python_error();
    actual.push_back(count.is_valid() ? to_double(steal_or_throw(PyNumber_Float(count.ptr())))
                                      : 0.0);
  }
  try {
    return zelvora::population_stability_index(expected, actual);
  } catch (const std::invalid_argument&) {
    raise(PyExc_ValueError,
          "the frequencies of attribute '" + name_text + "' must be finite and not negative");
  }
}

nb::dict add_bin_counts(nb::args parts) {
  nb::dict total;
  for (nb::handle part : parts)
    for (nb::handle item : count_items(part))
      add_count(total, PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1));
  return total;
}

}  // namespace

std::vector<MethodDecl> monitoring_methods() {
  return {
      method("bin_counts", &bin_counts, nb::arg("attribute").none(),
             nb::arg("attribute_dtype").none(), nb::arg("values").none(),
             nb::sig("def bin_counts(self, attribute: str, attribute_dtype: AttributeDataType | "
                     "str, values: Any) -> dict[str | None, int]"),
             "How many values of the attribute fell into each bin: a dict from the name of "
             "every bin of the binning that get_feature_binning chooses, in list order and "
             "with 0 for bins no value fell into, to its count, and the key None for values "
             "that fell into no bin (all of them when there is no binning, or the dtype is "
             "neither NUMERICAL nor CATEGORICAL).\n\n"
             "`values`: what FeatureBinning.bin_array takes (numpy, pandas, polars, Arrow, a "
             "list or a tuple). Each value counts in the bin get_feature_binning gives it; "
             "numbers of any type are looked up as floats, and missing values (None, NaN, "
             "pandas.NA, Arrow nulls) as missing. Bins with equal names share one key, whose "
             "count is the sum of theirs."),
      method("stability_index", &stability_index, nb::arg("attribute").none(),
             nb::arg("attribute_dtype").none(), nb::arg("counts").none(),
             nb::sig("def stability_index(self, attribute: str, attribute_dtype: "
                     "AttributeDataType | str, counts: dict[str | None, int]) -> float"),
             "The population stability index of observed counts (as bin_counts gives them) "
             "against the development `frequency` of the attribute's bins.\n\n"
             "Over the bins whose frequency is not None: expected shares are their "
             "frequencies normalised to sum 1, actual shares their counts normalised to sum "
             "1 (a bin missing from `counts` counts 0, the key None is not used), a share of "
             "0 on either side counts as 0.0001, and PSI = sum((actual - expected) * "
             "ln(actual / expected)). Bins with equal names are one bin: their frequencies "
             "are added.\n\n"
             "Raises ValueError when the attribute has no binning or no bin has a frequency, "
             "TypeError for a count that is not an int and ValueError for a negative one."),
      static_method("add_bin_counts", &add_bin_counts, nb::arg("counts"),
                    nb::sig("def add_bin_counts(*counts: dict[str | None, int]) -> "
                            "dict[str | None, int]"),
                    "The counts of several partitions (dicts as bin_counts gives them) added "
                    "key by key, keys in first-seen order, zero counts kept (unlike adding "
                    "collections.Counter objects, which drops them). Counts are checked as "
                    "stability_index checks them."),
  };
}

void init_monitoring(nb::module_& m) {
  state.emplace(m);
}

}  // namespace zelvora::py
