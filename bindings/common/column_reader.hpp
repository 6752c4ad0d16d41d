// Columns of any kind read into the core's column kernels (zelvora/array_binning.hpp):
//   - numpy arrays and other buffers of numbers: in place, any stride;
//   - anything exporting the Arrow PyCapsule interface (pyarrow, polars): the imported
//     Arrow structs, chunk by chunk; dictionary entries are looked up once each;
//   - pandas Series: numpy-backed numbers in place, masked (nullable) numbers through
//     their data and mask, categoricals by category then code, Arrow-backed through Arrow;
//   - lists, tuples, object arrays, and what the column kernels leave over (texts in a
//     numeric binning, numbers in a categorical one): value by value, through the
//     caller's lookup of one Python value.
// The kernels run without the GIL. What a value yields (a bin's value, a bin's index) is
// the caller's affair: it builds the column binnings.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>

#include "zelvora/array_binning.hpp"

namespace zelvora::py {

namespace nb = nanobind;

/// How the values of a column are looked up: the compiled column binnings (at most one;
/// none sends every value to one()), and one Python value at a time.
class ColumnLookup {
 public:
  const zelvora::NumericColumnBinning* numeric = nullptr;
  const zelvora::CategoricColumnBinning* categoric = nullptr;
  const char* operation = "";  ///< the caller's name, for error messages

  bool compiled() const { return numeric || categoric; }
  /// The result of one Python value.
  virtual double one(nb::handle value, zelvora::DefaultHits& hits) const = 0;
  /// Raises what the single-value lookup raises for a value that reached an incomplete bin.
  [[noreturn]] virtual void raise_incomplete(const zelvora::ReachedIncompleteBin& e) const = 0;

 protected:
  ~ColumnLookup() = default;
};

/// The results of a column, a float64 buffer handed to numpy at the end. Grown
/// uninitialised: every slot is written by the reader that grows it.
class ColumnResults {
 public:
  double* data() { return values_.get(); }
  const double* data() const { return values_.get(); }
  std::size_t size() const { return size_; }
  void grow(std::size_t more);
  nb::object to_numpy();

 private:
  struct Free {
    void operator()(double* p) const noexcept;
  };
  std::unique_ptr<double[], Free> values_;
  std::size_t size_ = 0, capacity_ = 0;
};

/// Whether a Python value counts as missing in a column: None, pandas.NA or a NaN number.
bool is_missing_column_value(nb::handle value);

/// Appends the result of every value of `values` (numpy, pandas, polars, Arrow, a list or a
/// tuple) to `results`. Raises TypeError for anything else.
void read_column(const ColumnLookup& lookup, nb::handle values, ColumnResults& results,
                 zelvora::DefaultHits& hits);

}  // namespace zelvora::py
