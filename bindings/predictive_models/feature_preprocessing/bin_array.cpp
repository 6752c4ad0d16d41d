// FeatureBinning.bin_array: the bin values of a whole column (numpy, pandas, polars,
// Arrow, list or tuple) as a numpy array, computed by the core's column binning
// (zelvora/array_binning.hpp) over the column's own buffers, without the GIL; how each
// kind of column is read is common/column_reader.hpp's affair.
// A binning that cannot be compiled (see common/compiled_bins.hpp) is looked up value by
// value through the single-value operation.
#include "bin_array.hpp"

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/classes.hpp"
#include "common/column_reader.hpp"
#include "common/compiled_bins.hpp"
#include "common/conversions.hpp"
#include "common/logging.hpp"
#include "common/module_state.hpp"
#include "common/record_bins.hpp"
#include "zelvora/array_binning.hpp"

namespace zelvora::py {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct State {
  Held<BinRecordTypes> bins;
  Held<nb::object> numerical, categorical;  // AttributeDataType members
  Held<Logger> logger;                      // the binning engine's
  Held<nb::str> attribute_data_type{"attribute_data_type"},
      bin_numeric_attribute{"bin_numeric_attribute"},
      bin_categoric_attribute{"bin_categoric_attribute"};
};

ModuleState<State> state("_zelvora_bin_array_state");

// --- the binning, prepared ---------------------------------------------------------------

class Prepared final : public ColumnLookup {
 public:
  explicit Prepared(nb::handle binning);
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  double one(nb::handle value, zelvora::DefaultHits& hits) const override;
  [[noreturn]] void raise_incomplete(const zelvora::ReachedIncompleteBin& e) const override;

  nb::handle self;
  bool categorical = false;
  bool none = false;  // neither kind: no lookup applies
  std::optional<zelvora::NumericColumnBinning> numeric_binning;
  std::optional<zelvora::CategoricColumnBinning> categoric_binning;
  std::string attribute;
};

bool equal(nb::handle a, nb::handle b) {
  const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// The bin values as doubles (None: NaN); nullopt when one is not a number.
std::optional<std::vector<double>> bin_values(const std::vector<nb::object>& values) {
  std::vector<double> result;
  result.reserve(values.size());
  for (const nb::object& v : values) {
    if (v.is_none()) {
      result.push_back(kNaN);
    } else if (PyFloat_Check(v.ptr())) {
      result.push_back(PyFloat_AS_DOUBLE(v.ptr()));
    } else {
      return std::nullopt;
    }
  }
  return result;
}

Prepared::Prepared(nb::handle binning) : self(binning) {
  const State& s = *state;
  operation = "bin_array";
  nb::object data_type = self.attr(s.attribute_data_type);
  if (equal(data_type, s.categorical)) {
    categorical = true;
    if (auto bins = compile_categoric_bins(s.bins, self))
      if (auto values = bin_values(bins->values)) {
        categoric_binning.emplace(std::move(bins->compiled), std::move(*values));
        attribute = std::move(bins->attribute);
      }
  } else if (equal(data_type, s.numerical)) {
    if (auto bins = compile_numeric_bins(s.bins, self))
      if (auto values = bin_values(bins->values)) {
        numeric_binning.emplace(std::move(bins->compiled), std::move(*values));
        attribute = std::move(bins->attribute);
      }
  } else {
    none = true;
  }
  numeric = numeric_binning ? &*numeric_binning : nullptr;
  categoric = categoric_binning ? &*categoric_binning : nullptr;
}

double result_of(nb::handle single_result) {
  return single_result.is_none() ? kNaN : to_double(single_result);
}

// Raises what the single-value operation raises for the value that reached an
// incomplete bin.
void Prepared::raise_incomplete(const zelvora::ReachedIncompleteBin& e) const {
  const State& s = *state;
  if (e.number) {
    self.attr(s.bin_numeric_attribute)(nb::float_(*e.number));
  } else {
    self.attr(s.bin_categoric_attribute)(from_text_bytes(e.text));
  }
  throw nb::type_error("a bin without a needed part was reached");
}

// The result of one Python value.
double Prepared::one(nb::handle value, zelvora::DefaultHits& hits) const {
  const State& s = *state;
  const bool missing = is_missing_column_value(value);
  if (none) return kNaN;
  if (!categorical) {
    if (numeric) {
      double x = kNaN;
      if (!missing) {
        if (PyFloat_CheckExact(value.ptr())) {
          x = PyFloat_AS_DOUBLE(value.ptr());
        } else if (PyLong_CheckExact(value.ptr())) {
          x = PyLong_AsDouble(value.ptr());
          if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
        } else {
          x = to_double(steal_or_throw(PyNumber_Float(value.ptr())));
        }
      }
      try {
        return numeric->bin_one(x, hits);
      } catch (const zelvora::ReachedIncompleteBin& e) {
        raise_incomplete(e);
      }
    }
    return result_of(self.attr(s.bin_numeric_attribute)(missing ? nb::none() : nb::borrow(value)));
  }
  if (categoric && (missing || PyUnicode_CheckExact(value.ptr()))) {
    try {
      if (missing) return categoric->bin_missing(hits);
      if (std::optional<std::string_view> ascii = ascii_view(value))
        return categoric->bin_text(*ascii, hits);
      return categoric->bin_text(text_bytes(value), hits);
    } catch (const zelvora::ReachedIncompleteBin& e) {
      raise_incomplete(e);
    }
  }
  return result_of(self.attr(s.bin_categoric_attribute)(missing ? nb::none() : nb::borrow(value)));
}

void log_hits(const Prepared& p, const zelvora::DefaultHits& hits) {
  const State& s = *state;
  if (hits.warning().count)
    s.logger.warning(zelvora::default_hits_message(p.attribute, hits.warning()));
  if (hits.debug().count) s.logger.debug(zelvora::default_hits_message(p.attribute, hits.debug()));
}

nb::object bin_array(nb::handle self, nb::handle values) {
  const Prepared p(self);
  ColumnResults results;
  zelvora::DefaultHits hits;
  read_column(p, values, results, hits);
  log_hits(p, hits);
  return results.to_numpy();
}

}  // namespace

void add_bin_array(nb::module_& m, nb::handle feature_binning, const BinRecordTypes& bins,
                   nb::handle attribute_data_type, const char* logger_name) {
  State& s = state.emplace(m);
  s.bins.numerical_bin = bins.numerical_bin;
  s.bins.categorical_bin = bins.categorical_bin;
  s.numerical = attribute_data_type.attr("NUMERICAL");
  s.categorical = attribute_data_type.attr("CATEGORICAL");
  s.logger = Logger(logger_name);
  MethodDecl decl =
      method("bin_array", &bin_array, nb::arg("values"),
             nb::sig("def bin_array(self, values: Any) -> numpy.ndarray"),
             "The bin values of a column, as a numpy float64 array: NaN where the bin has no "
             "value or no bin applies.\n\n"
             "`values`: a numpy array, a pandas Series (nullable, string and category dtypes "
             "included), a polars Series, a pyarrow Array or ChunkedArray or any object exporting "
             "the Arrow PyCapsule interface, a list or a tuple. The binning's attribute_data_type "
             "decides the lookup; each value gets the bin that bin_numeric_attribute or "
             "bin_categoric_attribute gives it, and missing values (None, NaN, pandas.NA, Arrow "
             "nulls) go to the null bin.\n\n"
             "Unlike apply_feature_binning_batch, which logs one record per catch-all hit, one "
             "call logs at most one warning record for all its catch-all hits, with their count "
             "and up to five distinct example values.");
  decl.callable.attr("__module__") = module_name(m);
  decl.callable.attr("__qualname__") = nb::str("FeatureBinning.bin_array");
  nb::setattr(feature_binning, "bin_array", decl.callable);
}

}  // namespace zelvora::py
