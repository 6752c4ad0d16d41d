// The batch part of FeaturePreprocessing: binning a list of values of one attribute.
#include <nanobind/nanobind.h>

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/arguments.hpp"
#include "common/conversions.hpp"
#include "common/errors.hpp"
#include "common/record_bins.hpp"
#include "common/records.hpp"
#include "feature_preprocessing.hpp"
#include "zelvora/bin_lookup.hpp"
#include "zelvora/compiled_binning.hpp"
#include "zelvora/number_format.hpp"

namespace zelvora::py::preprocessing {

namespace {

// --- batches ---------------------------------------------------------------------------
//
// A batch reads the binning's bins once into a compiled binning (zelvora/compiled_binning.hpp)
// and searches it per value, value by value equal to the single-value lookup. Where the
// compiled search cannot answer alone, the binning's own single-value operation answers,
// so results, errors and log records stay exactly its own:
//   - the binning cannot be compiled (a field that cannot be read, categories holding
//     something other than plain texts): every value;
//   - a value reaches a bin without a needed bound or categories: that value (it raises);
//   - a value that is not a float, an int, None or a plain str (a str subclass compares
//     through its own ==; other kinds are refused): that value.

// Categories keyed by the str objects themselves, in an open-addressing table of owned
// strs: an exact str keeps its hash, so a lookup hashes nothing more than once per value
// object, and compares by identity before text; no Python code runs for exact strs. Two
// exact strs are equal exactly when their text bytes are, so answers stay those of the
// single-value lookup. (A dict answers the same, a third slower.)
class StrTable {
 public:
  using key_type = nb::object;  // an exact str

  void insert_first(nb::object&& text, std::size_t bin) {
    const Py_hash_t hash = hash_of(text);
    if (2 * (keys_.size() + 1) > slots_.size()) grow();
    Slot& slot = slots_[slot_of(text.ptr(), hash)];
    if (slot.key) return;
    slot = {text.ptr(), hash, bin};
    keys_.push_back(std::move(text));
  }
  /// The bin of an exact str.
  std::optional<std::size_t> find(nb::handle text) const {
    if (slots_.empty()) return std::nullopt;
    const Slot& slot = slots_[slot_of(text.ptr(), hash_of(text))];
    if (!slot.key) return std::nullopt;
    return slot.bin;
  }

 private:
  struct Slot {
    PyObject* key = nullptr;  // owned by keys_
    Py_hash_t hash = 0;
    std::size_t bin = 0;
  };

  static Py_hash_t hash_of(nb::handle text) {
    const Py_hash_t hash = PyObject_Hash(text.ptr());
    if (hash == -1) throw nb::python_error();
    return hash;
  }
  // The slot holding `text`, or the empty slot where it goes.
  std::size_t slot_of(PyObject* text, Py_hash_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t k = static_cast<std::size_t>(hash) & mask;; k = (k + 1) & mask) {
      const Slot& slot = slots_[k];
      if (!slot.key || slot.key == text || (slot.hash == hash && same_text(slot.key, text)))
        return k;
    }
  }
  // Equal exact strs hold the same code units in the same (narrowest) kind.
  static bool same_text(PyObject* a, PyObject* b) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_Compare(a, b) == 0;  // a str may not be ready before Python 3.12
#else
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
#endif
  }
  // At most half full, so that a miss ends soon.
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : 2 * old.size(), Slot{});
    for (const Slot& slot : old)
      if (slot.key) slots_[slot_of(slot.key, slot.hash)] = slot;
  }

  std::vector<Slot> slots_;  // a power of two of them
  std::vector<nb::object> keys_;
};

using CompiledStrBinning = zelvora::BasicCompiledCategoricBinning<StrTable>;

/// Categorical bins as the compiler reads them: each bin's categories, owned.
class CategoryStrBins : public RecordBins {
 public:
  /// Categories that are not a list of plain texts: the binning is looked up value by value.
  struct NotPlainTexts {};

  CategoryStrBins(const BinRecordTypes& types, nb::handle binning)
      : RecordBins(types, binning, types.categorical_bin) {}

  std::optional<std::vector<nb::object>> category_texts(std::size_t i) const {
    nb::object categories = field(i, types_.categories);
    if (categories.is_none()) return std::nullopt;
    if (!PyList_CheckExact(categories.ptr())) throw NotPlainTexts{};
    std::vector<nb::object> texts;
    texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(categories.ptr())));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(categories.ptr()); ++k) {
      nb::handle item = PyList_GET_ITEM(categories.ptr(), k);
      if (!PyUnicode_CheckExact(item.ptr())) throw NotPlainTexts{};
      texts.push_back(nb::borrow(item));
    }
    return texts;
  }
};

/// A compiled binning with what its answers need from the records: the value of every
/// bin and the attribute text of the log messages.
template <class Compiled>
struct BatchBinning {
  Compiled compiled;
  std::vector<nb::object> values;
  std::string attribute;
};

/// Compiles the binning, or nullopt when it cannot be (see above).
template <class Compiled, class Bins>
std::optional<BatchBinning<Compiled>> compile_binning(nb::handle binning) {
  try {
    const Bins bins(state->bins, binning);
    BatchBinning<Compiled> batch{Compiled::compile(bins), {}, {}};
    batch.values.reserve(bins.size());
    for (std::size_t i = 0; i < bins.size(); ++i)
      batch.values.push_back(bins.field(i, state->bins.value));
    batch.attribute = text_of(record_field(binning, state->bins.attribute));
    return batch;
  } catch (const nb::python_error&) {
  } catch (const CategoryStrBins::NotPlainTexts&) {
  }
  return std::nullopt;
}

class NumericalBins : public RecordBins {
 public:
  NumericalBins(const BinRecordTypes& types, nb::handle binning)
      : RecordBins(types, binning, types.numerical_bin) {}
};

void log_default_hit(zelvora::DefaultHitLog log, const std::string& attribute,
                     const std::string& value_text) {
  const std::string message = zelvora::default_hit_message(attribute, value_text);
  if (log == zelvora::DefaultHitLog::warning) {
    state->binning_logger.warning(message);
  } else if (log == zelvora::DefaultHitLog::debug) {
    state->binning_logger.debug(message);
  }
}

// The results of a batch, one per input value; values are added in input order. Until it
// is finished the list has empty slots, so the garbage collector must not hand it to Python
// code (gc.get_objects() in a log processor) that could read them: it is tracked only once
// complete.
class BatchResult {
 public:
  explicit BatchResult(Py_ssize_t expected)
      : list_(steal_or_throw<nb::list>(PyList_New(expected))), expected_(expected) {
    PyObject_GC_UnTrack(list_.ptr());
  }

  void set(Py_ssize_t i, nb::handle value) {
    if (i < expected_) {
      PyList_SET_ITEM(list_.ptr(), i, Py_NewRef(value.ptr()));
    } else if (PyList_Append(list_.ptr(), value.ptr()) < 0) {
      throw nb::python_error();
    }
  }

  /// The list of the first `count` results (the input may change length on the way).
  nb::list finish(Py_ssize_t count) {
    if (count < expected_ && PyList_SetSlice(list_.ptr(), count, expected_, nullptr) < 0)
      throw nb::python_error();
    PyObject_GC_Track(list_.ptr());
    return std::move(list_);
  }

 private:
  nb::list list_;
  Py_ssize_t expected_;
};

// Whether an exact str counts as missing ("nan"; never a text that is not ASCII).
bool is_missing_text(nb::handle text) {
  const std::optional<std::string_view> ascii = ascii_view(text);
  return ascii && zelvora::is_missing_category(*ascii);
}

// The number a numeric lookup searches for: None is NaN, anything else float(value).
double lookup_number(nb::handle value) {
  if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
  if (value.is_none()) return std::numeric_limits<double>::quiet_NaN();
  if (PyLong_CheckExact(value.ptr())) {
    // What float(int) does, without the intermediate float.
    const double x = PyLong_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return x;
  }
  return to_double(steal_or_throw(PyNumber_Float(value.ptr())));
}

/// Runs `answer(value)` (a compiled answer, or nullopt to defer) for every value of the
/// list, deferring to the single-value operation `single`. Each value is owned while it is
/// looked up: converting it, logging or the single-value operation may run Python code
/// that changes the list, whose length is read again for every value, as a for loop does.
template <class Answer>
nb::list bin_each(nb::handle values, nb::handle single, Answer&& answer) {
  BatchResult result(PyList_GET_SIZE(values.ptr()));
  Py_ssize_t i = 0;
  for (; i < PyList_GET_SIZE(values.ptr()); ++i) {
    nb::object value = nb::borrow(PyList_GET_ITEM(values.ptr(), i));
    std::optional<nb::handle> answered;
    try {
      answered = answer(value);
    } catch (const zelvora::IncompleteBin&) {
      // The single-value lookup raises it, worded as the host words it.
    }
    if (answered) {
      result.set(i, *answered);
    } else {
      result.set(i, single(value));
    }
  }
  return result.finish(i);
}

nb::list bin_numeric_batch(nb::handle binning, nb::handle values) {
  nb::object single = binning.attr(state->bin_numeric_attribute);
  auto batch = compile_binning<zelvora::CompiledNumericBinning, NumericalBins>(binning);
  if (!batch) return bin_each(values, single, [](nb::handle) { return std::nullopt; });
  return bin_each(values, single, [&](nb::handle value) -> std::optional<nb::handle> {
    const double x = lookup_number(value);
    const zelvora::BinChoice choice = batch->compiled.find(x);
    if (choice.log != zelvora::DefaultHitLog::none)
      log_default_hit(choice.log, batch->attribute, zelvora::float_repr(x));
    return choice.bin ? nb::handle(batch->values[*choice.bin]) : nb::none();
  });
}

nb::list bin_categoric_batch(nb::handle binning, nb::handle values) {
  nb::object single = binning.attr(state->bin_categoric_attribute);
  auto batch = compile_binning<CompiledStrBinning, CategoryStrBins>(binning);
  if (!batch) return bin_each(values, single, [](nb::handle) { return std::nullopt; });
  return bin_each(values, single, [&](nb::handle value) -> std::optional<nb::handle> {
    const bool none = value.is_none();
    if (!none && !PyUnicode_CheckExact(value.ptr())) return std::nullopt;
    const zelvora::BinChoice choice = none || is_missing_text(value)
                                          ? batch->compiled.find_missing()
                                          : batch->compiled.find(value);
    if (choice.log != zelvora::DefaultHitLog::none)
      log_default_hit(choice.log, batch->attribute, none ? "None" : text_bytes(value));
    return choice.bin ? nb::handle(batch->values[*choice.bin]) : nb::none();
  });
}

nb::object apply_feature_binning_batch(nb::handle self, nb::handle attribute,
                                       nb::handle attribute_values) {
  check_attribute(attribute);
  check_argument_type(attribute_values, &PyList_Type, "attribute_values", NoneAllowed::no);
  nb::object binning = get_feature_binning(self, attribute);
  if (binning.is_none()) return binning;
  return with_error_prefix([&] { return binning_error_prefix(attribute); },
                           [&]() -> nb::object {
                             switch (lookup_of(binning)) {
                               case Lookup::numeric:
                                 return bin_numeric_batch(binning, attribute_values);
                               case Lookup::categoric:
                                 return bin_categoric_batch(binning, attribute_values);
                               case Lookup::none:
                                 break;
                             }
                             // No lookup applies to any value.
                             nb::list nothing;
                             for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attribute_values.ptr());
                                  ++i)
                               nothing.append(nb::none());
                             return nothing;
                           });
}

}  // namespace

void init_batches(nb::module_&, RecordDecl& preprocessing) {
  preprocessing.methods.push_back(
      method("apply_feature_binning_batch", &apply_feature_binning_batch,
             nb::arg("attribute").none(), nb::arg("attribute_values").none(),
             nb::sig("def apply_feature_binning_batch(self, attribute: str, "
                     "attribute_values: list[Any]) -> Optional[list[Optional[float]]]"),
             "The bin values of a list of values of `attribute`, in order; None "
             "without a binning."));
}

}  // namespace zelvora::py::preprocessing
