// The batch part of FeaturePreprocessing: binning a list of values of one attribute.
#include <nanobind/nanobind.h>

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/arguments.hpp"
#include "common/compiled_bins.hpp"
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

// The text bytes of a str as a hash key: a view of an ASCII str's own characters, a copy
// otherwise. Valid while the str lives; never copied or moved, as the view may point into
// the key's own copy.
class TextKey {
 public:
  explicit TextKey(nb::handle text) {
    if (std::optional<std::string_view> ascii = ascii_view(text)) {
      view_ = *ascii;
    } else {
      copy_ = text_bytes(text);
      view_ = copy_;
    }
  }
  TextKey(const TextKey&) = delete;
  TextKey& operator=(const TextKey&) = delete;
  std::string_view view() const { return view_; }

 private:
  std::string copy_;
  std::string_view view_;
};

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
  auto batch = compile_numeric_bins(state->bins, binning);
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
  auto batch = compile_categoric_bins(state->bins, binning);
  if (!batch) return bin_each(values, single, [](nb::handle) { return std::nullopt; });
  return bin_each(values, single, [&](nb::handle value) -> std::optional<nb::handle> {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) return std::nullopt;
    std::optional<TextKey> text;
    if (!value.is_none()) text.emplace(value);
    const zelvora::BinChoice choice = !text || zelvora::is_missing_category(text->view())
                                          ? batch->compiled.find_missing()
                                          : batch->compiled.find(text->view());
    if (choice.log != zelvora::DefaultHitLog::none)
      log_default_hit(choice.log, batch->attribute, text ? text_bytes(value) : "None");
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
