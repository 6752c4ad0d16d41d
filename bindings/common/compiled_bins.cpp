#include "common/compiled_bins.hpp"

#include "common/conversions.hpp"

namespace zelvora::py {

namespace {

// Categorical bins as the compiler reads them: each bin's categories as text bytes.
class CategoryTextBins : public RecordBins {
 public:
  // Categories that are not a list of plain texts: the binning is looked up value by value.
  struct NotPlainTexts {};

  CategoryTextBins(const BinRecordTypes& types, nb::handle binning)
      : RecordBins(types, binning, types.categorical_bin) {}

  std::optional<std::vector<std::string>> category_texts(std::size_t i) const {
    nb::object categories = field(i, types_.categories);
    if (categories.is_none()) return std::nullopt;
    if (!PyList_CheckExact(categories.ptr())) throw NotPlainTexts{};
    std::vector<std::string> texts;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(categories.ptr()); ++k) {
      nb::handle item = PyList_GET_ITEM(categories.ptr(), k);
      if (!PyUnicode_CheckExact(item.ptr())) throw NotPlainTexts{};
      texts.push_back(text_bytes(item));
    }
    return texts;
  }
};

class NumericalBins : public RecordBins {
 public:
  NumericalBins(const BinRecordTypes& types, nb::handle binning)
      : RecordBins(types, binning, types.numerical_bin) {}
};

template <class Compiled, class Bins>
std::optional<CompiledBins<Compiled>> compile(const BinRecordTypes& types, nb::handle binning,
                                              const zelvora::LookupPolicy& policy) {
  try {
    const Bins bins(types, binning);
    CompiledBins<Compiled> batch{Compiled::compile(bins, policy), {}, {}};
    batch.values.reserve(bins.size());
    for (std::size_t i = 0; i < bins.size(); ++i)
      batch.values.push_back(bins.field(i, types.value));
    batch.attribute = text_bytes(
        steal_or_throw<nb::str>(PyObject_Str(record_field(binning, types.attribute).ptr())));
    return batch;
  } catch (const nb::python_error&) {
  } catch (const CategoryTextBins::NotPlainTexts&) {
  }
  return std::nullopt;
}

}  // namespace

std::optional<CompiledBins<zelvora::CompiledNumericBinning>> compile_numeric_bins(
    const BinRecordTypes& types, nb::handle binning, const zelvora::LookupPolicy& policy) {
  return compile<zelvora::CompiledNumericBinning, NumericalBins>(types, binning, policy);
}

std::optional<CompiledBins<zelvora::CompiledCategoricBinning>> compile_categoric_bins(
    const BinRecordTypes& types, nb::handle binning, const zelvora::LookupPolicy& policy) {
  return compile<zelvora::CompiledCategoricBinning, CategoryTextBins>(types, binning, policy);
}

}  // namespace zelvora::py
