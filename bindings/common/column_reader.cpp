// The column reader of the bindings: how every kind of column reaches the core's column
// kernels (zelvora/array_binning.hpp), and value by value what they leave over.
#include "common/column_reader.hpp"

#include <nanobind/ndarray.h>

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/arguments.hpp"
#include "common/conversions.hpp"

namespace zelvora::py {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool is_pandas_na(nb::handle value) {
  PyTypeObject* type = Py_TYPE(value.ptr());
  return std::strcmp(type->tp_name, "NAType") == 0 ||
         std::strcmp(type->tp_name, "pandas._libs.missing.NAType") == 0;
}

// A float NaN, numpy's included. Texts and ints are ruled out before the type's module is
// read: that lookup would be most of the cost of a text column's value.
bool is_nan_number(nb::handle value) {
  if (PyFloat_Check(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
  if (PyUnicode_Check(value.ptr()) || PyLong_CheckExact(value.ptr()) || !is_numpy_value(value) ||
      !PyNumber_Check(value.ptr()))
    return false;
  PyObject* f = PyNumber_Float(value.ptr());
  if (!f) {
    PyErr_Clear();
    return false;
  }
  const bool nan = std::isnan(PyFloat_AS_DOUBLE(f));
  Py_DECREF(f);
  return nan;
}

}  // namespace

bool is_missing_column_value(nb::handle value) {
  return value.is_none() || is_pandas_na(value) || is_nan_number(value);
}

namespace {

// Each value of a list of our own, owned while it is looked up; `out` holds `size` values.
// The length is checked on every step all the same: a lookup runs Python code, which could
// reach the list through the garbage collector.
void bin_sequence(const ColumnLookup& p, nb::handle items, double* out, Py_ssize_t size,
                  zelvora::DefaultHits& hits) {
  for (Py_ssize_t i = 0; i < size && i < PyList_GET_SIZE(items.ptr()); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(items.ptr(), i));
    out[i] = p.one(item, hits);
  }
}

// The per-entry results of categories (a list), for gathering through codes.
zelvora::EntryResults entry_results(const ColumnLookup& p, nb::handle categories) {
  zelvora::EntryResults entries;
  const auto one = [&](nb::handle value) {
    zelvora::DefaultHits hits;
    try {
      const double result = p.one(value, hits);
      entries.add(result, hits);
    } catch (const nb::python_error&) {
      // Raised again only when a code refers to the entry.
      entries.add(kNaN, hits, std::current_exception());
    }
  };
  nb::object items = steal_or_throw(PySequence_List(categories.ptr()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
    one(nb::borrow(PyList_GET_ITEM(items.ptr(), i)));
  one(nb::none());
  entries.last_is_missing();
  return entries;
}

// --- results -----------------------------------------------------------------------------

// A buffer of n doubles, freed with std::free. A large one is asked for in huge pages, as
// numpy does for its arrays: writing a fresh column otherwise costs a page fault per 4 KiB.
double* allocate(std::size_t n) {
  if (n > std::numeric_limits<std::size_t>::max() / sizeof(double) - (2u << 20))
    throw std::bad_alloc();
  const std::size_t bytes = std::max<std::size_t>(n, 1) * sizeof(double);
  void* p = nullptr;
  if (bytes >= (4u << 20)) {
    constexpr std::size_t kHuge = 2u << 20;
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    p = std::aligned_alloc(kHuge, rounded);
#ifdef MADV_HUGEPAGE
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
#endif
  } else {
    p = std::malloc(bytes);
  }
  if (!p) throw std::bad_alloc();
  return static_cast<double*>(p);
}

}  // namespace

void ColumnResults::Free::operator()(double* p) const noexcept {
  std::free(p);
}

void ColumnResults::grow(std::size_t more) {
  if (more > std::numeric_limits<std::size_t>::max() / sizeof(double) - size_)
    throw std::bad_alloc();
  if (size_ + more > capacity_) {
    const std::size_t capacity = std::max(size_ + more, capacity_ * 2);
    std::unique_ptr<double[], Free> larger(allocate(capacity));
    if (size_) std::memcpy(larger.get(), values_.get(), size_ * sizeof(double));
    values_ = std::move(larger);
    capacity_ = capacity;
  }
  size_ += more;
}

nb::object ColumnResults::to_numpy() {
  if (!values_) values_.reset(allocate(1));
  double* data = values_.release();
  nb::capsule owner(data, [](void* p) noexcept { std::free(p); });
  const std::size_t shape[1] = {size_};
  return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(data, 1, shape, owner));
}

namespace {

// Runs a column kernel without the GIL; an incomplete bin raises as the single lookup.
template <class F>
void run_released(const ColumnLookup& p, F&& kernel) {
  std::optional<zelvora::ReachedIncompleteBin> reached;
  {
    nb::gil_scoped_release released;
    try {
      kernel();
    } catch (const zelvora::ReachedIncompleteBin& e) {
      reached.emplace(e);
    }
  }
  if (reached) p.raise_incomplete(*reached);
}

// --- buffers -------------------------------------------------------------------------------

std::optional<zelvora::NumberType> buffer_type(const Py_buffer& view) {
  std::string_view format = view.format ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    if (format[0] == '<' && std::endian::native != std::endian::little) return std::nullopt;
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  const bool is_signed = std::string_view("bhilq").find(format[0]) != std::string_view::npos;
  const bool is_unsigned = std::string_view("BHILQ").find(format[0]) != std::string_view::npos;
  using T = zelvora::NumberType;
  if (is_signed || is_unsigned) {
    switch (view.itemsize) {
      case 1:
        return is_signed ? T::int8 : T::uint8;
      case 2:
        return is_signed ? T::int16 : T::uint16;
      case 4:
        return is_signed ? T::int32 : T::uint32;
      case 8:
        return is_signed ? T::int64 : T::uint64;
      default:
        return std::nullopt;
    }
  }
  const char code = format[0];
  const std::optional<T> type = code == '?'   ? std::optional<T>(T::boolean_bytes)
                                : code == 'e' ? std::optional<T>(T::float16)
                                : code == 'f' ? std::optional<T>(T::float32)
                                : code == 'd' ? std::optional<T>(T::float64)
                                              : std::nullopt;
  if (!type || zelvora::number_size(*type) != static_cast<std::size_t>(view.itemsize))
    return std::nullopt;
  return type;
}

class Buffer {
 public:
  explicit Buffer(nb::handle obj) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }

  // The numbers of a one-dimensional buffer; nullopt for other layouts and formats.
  std::optional<zelvora::NumberColumn> numbers() const {
    if (!held_ || view_.ndim != 1) return std::nullopt;
    const std::optional<zelvora::NumberType> type = buffer_type(view_);
    if (!type) return std::nullopt;
    zelvora::NumberColumn column;
    column.type = *type;
    column.data = view_.buf;
    column.length = static_cast<std::size_t>(view_.shape[0]);
    column.stride = view_.strides ? view_.strides[0] : view_.itemsize;
    return column;
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// --- Arrow -------------------------------------------------------------------------------

template <class T>
T* capsule_pointer(nb::handle capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule.ptr(), name)) {
    PyErr_Format(PyExc_ValueError, "expected a PyCapsule named '%s' from the Arrow interface",
                 name);
    throw nb::python_error();
  }
  return static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
}

[[noreturn]] void raise_value_error(const std::string& what) {
  PyErr_SetObject(PyExc_ValueError, from_text_bytes(what).ptr());
  throw nb::python_error();
}

// The values of an Arrow column as Python objects (None where missing), for the
// value-by-value path.
nb::list python_values(const zelvora::ArrowColumn& column) {
  nb::list result;
  using Kind = zelvora::ArrowColumn::Kind;
  nb::list entries;
  if (column.kind() == Kind::dictionary) entries = python_values(column.dictionary());
  for (std::size_t i = 0; i < column.length(); ++i) {
    if (!column.valid(i)) {
      result.append(nb::none());
      continue;
    }
    switch (column.kind()) {
      case Kind::number:
        result.append(nb::float_(column.numbers().number(i)));
        break;
      case Kind::dictionary: {
        const double code = column.numbers().number(i);
        if (!(code >= 0 && code < static_cast<double>(nb::len(entries))))
          raise_value_error("Arrow dictionary index out of range");
        result.append(entries[static_cast<std::size_t>(code)]);
        break;
      }
      case Kind::null:
        result.append(nb::none());
        break;
      default: {
        const std::string_view text = column.text(i);
        result.append(steal_or_throw(PyUnicode_DecodeUTF8(
            text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape")));
      }
    }
  }
  return result;
}

// Bins one imported Arrow array into out.
void bin_arrow_array(const ColumnLookup& p, const ArrowSchema& schema, const ArrowArray& array,
                     ColumnResults& results, std::size_t at, zelvora::DefaultHits& hits) {
  try {
    const zelvora::ArrowColumn column(schema, array);
    results.grow(column.length());
    double* out = results.data() + at;
    bool done = false;
    if (p.compiled())
      run_released(
          p, [&] { done = zelvora::bin_arrow_column(column, p.numeric, p.categoric, out, hits); });
    if (!done)
      bin_sequence(p, python_values(column), out, static_cast<Py_ssize_t>(column.length()), hits);
  } catch (const zelvora::UnsupportedArrowFormat& e) {
    raise_value_error(e.what());
  } catch (const zelvora::MalformedArrow& e) {
    raise_value_error(std::string("malformed Arrow data: ") + e.what());
  }
}

void bin_arrow_capsules(const ColumnLookup& p, nb::handle pair, ColumnResults& results,
                        zelvora::DefaultHits& hits) {
  if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
    raise_value_error("__arrow_c_array__ must return a pair of capsules");
  nb::handle schema_capsule = PyTuple_GET_ITEM(pair.ptr(), 0);
  nb::handle array_capsule = PyTuple_GET_ITEM(pair.ptr(), 1);
  auto schema = zelvora::ArrowOwned<ArrowSchema>::take(
      capsule_pointer<ArrowSchema>(schema_capsule, "arrow_schema"));
  auto array = zelvora::ArrowOwned<ArrowArray>::take(
      capsule_pointer<ArrowArray>(array_capsule, "arrow_array"));
  bin_arrow_array(p, *schema, *array, results, 0, hits);
}

void bin_arrow_stream(const ColumnLookup& p, nb::handle capsule, ColumnResults& results,
                      zelvora::DefaultHits& hits) {
  auto stream = zelvora::ArrowOwned<ArrowArrayStream>::take(
      capsule_pointer<ArrowArrayStream>(capsule, "arrow_array_stream"));
  ArrowArrayStream* s = stream.get();
  if (stream.released() || !s->get_schema || !s->get_next)
    raise_value_error("malformed Arrow data: a released or incomplete stream");
  const auto check = [s](int code) {
    if (code == 0) return;
    const char* message = s->get_last_error ? s->get_last_error(s) : nullptr;
    raise_value_error(std::string("Arrow stream error: ") +
                      (message ? message : std::strerror(code)));
  };
  zelvora::ArrowOwned<ArrowSchema> schema;
  check(s->get_schema(s, schema.get()));
  for (;;) {
    zelvora::ArrowOwned<ArrowArray> chunk;
    check(s->get_next(s, chunk.get()));
    if (chunk.released()) break;
    bin_arrow_array(p, *schema, *chunk, results, results.size(), hits);
  }
}

// --- pandas --------------------------------------------------------------------------------

bool module_starts_with(nb::handle value, const char* prefix) {
  nb::object module = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))),
                                  "__module__", nb::none());
  if (!PyUnicode_Check(module.ptr())) return false;
  const std::optional<std::string_view> name = ascii_view(module);
  return name && name->starts_with(prefix);
}

// Numbers of a buffer (a numpy array): in place when their format allows, else value by
// value.
void bin_buffer_or_list(const ColumnLookup& p, nb::handle values, ColumnResults& results,
                        zelvora::DefaultHits& hits) {
  {
    const Buffer buffer(values);
    if (std::optional<zelvora::NumberColumn> numbers = buffer.numbers(); numbers && p.numeric) {
      results.grow(numbers->length);
      run_released(p, [&] { p.numeric->bin(*numbers, results.data(), hits); });
      return;
    }
    if (buffer.held() && buffer.view().ndim != 1) {
      PyErr_Format(PyExc_ValueError, "%s takes a one-dimensional array, not %d dimensions",
                   p.operation, buffer.view().ndim);
      throw nb::python_error();
    }
  }
  nb::object list = steal_or_throw(PySequence_List(
      (nb::hasattr(values, "tolist") ? nb::object(values.attr("tolist")()) : nb::borrow(values))
          .ptr()));
  const Py_ssize_t size = PyList_GET_SIZE(list.ptr());
  results.grow(static_cast<std::size_t>(size));
  bin_sequence(p, list, results.data(), size, hits);
}

void bin_pandas_series(const ColumnLookup& p, nb::handle series, ColumnResults& results,
                       zelvora::DefaultHits& hits) {
  nb::object dtype = series.attr("dtype");
  nb::object array = series.attr("array");
  if (nb::str(dtype).equal(nb::str("category"))) {
    nb::object codes = series.attr("cat").attr("codes").attr("to_numpy")();
    nb::object categories = series.attr("cat").attr("categories").attr("to_numpy")();
    const zelvora::EntryResults entries = entry_results(p, categories.attr("tolist")());
    const Buffer buffer(codes);
    std::optional<zelvora::NumberColumn> numbers = buffer.numbers();
    if (!numbers) throw nb::type_error("category codes are not integers");
    results.grow(numbers->length);
    std::exception_ptr failure;
    {
      nb::gil_scoped_release released;
      try {
        zelvora::gather_entries(entries, *numbers, results.data(), hits);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return;
  }
  if (nb::hasattr(array, "_pa_array"))
    return read_column(p, array.attr("_pa_array"), results, hits);
  if (nb::hasattr(array, "_data") && nb::hasattr(array, "_mask") && p.numeric) {
    // A masked (nullable) array: numbers where they lie, missing where the mask says.
    nb::object data = array.attr("_data"), mask = array.attr("_mask");
    const Buffer data_buffer(data), mask_buffer(mask);
    std::optional<zelvora::NumberColumn> numbers = data_buffer.numbers();
    std::optional<zelvora::NumberColumn> missing = mask_buffer.numbers();
    if (numbers && missing && missing->type == zelvora::NumberType::boolean_bytes &&
        missing->length == numbers->length) {
      numbers->mask = static_cast<const std::uint8_t*>(missing->data);
      numbers->mask_stride = missing->stride;
      results.grow(numbers->length);
      run_released(p, [&] { p.numeric->bin(*numbers, results.data(), hits); });
      return;
    }
  }
  bin_buffer_or_list(p, series.attr("to_numpy")(), results, hits);
}

}  // namespace

void read_column(const ColumnLookup& p, nb::handle values, ColumnResults& results,
                 zelvora::DefaultHits& hits) {
  if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr())) {
    nb::object items = steal_or_throw(PySequence_List(values.ptr()));
    const Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    results.grow(static_cast<std::size_t>(size));
    bin_sequence(p, items, results.data(), size, hits);
    return;
  }
  const bool pandas = module_starts_with(values, "pandas");
  if (pandas && nb::hasattr(values, "cat") && nb::hasattr(values, "array"))
    return bin_pandas_series(p, values, results, hits);
  // Other pandas arrays (an Index, a Categorical): their numpy form.
  if (pandas && nb::hasattr(values, "to_numpy"))
    return bin_buffer_or_list(p, values.attr("to_numpy")(), results, hits);
  if (nb::hasattr(values, "__arrow_c_array__"))
    return bin_arrow_capsules(p, values.attr("__arrow_c_array__")(), results, hits);
  if (nb::hasattr(values, "__arrow_c_stream__"))
    return bin_arrow_stream(p, values.attr("__arrow_c_stream__")(), results, hits);
  if (PyObject_CheckBuffer(values.ptr()) && !PyUnicode_Check(values.ptr()) &&
      !PyBytes_Check(values.ptr()))
    return bin_buffer_or_list(p, values, results, hits);
  raise_argument_type_error(values, "values", "array");
}

}  // namespace zelvora::py
