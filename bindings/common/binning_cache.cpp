#include "common/binning_cache.hpp"

#include <string>
#include <utility>
#include <vector>

#include "common/conversions.hpp"
#include "common/record_changes.hpp"
#include "zelvora/compiled_binning.hpp"

namespace zelvora::py {

namespace {

nb::object owned(PyObject* item) {
  return item ? nb::borrow(item) : nb::object();
}

// A private tuple of a list's items: what the list held when read.
nb::object items_of(PyObject* list) {
  return steal_or_throw(PyList_AsTuple(list));
}

bool is_of(PyObject* record, nb::handle type) {
  return PyObject_TypeCheck(record, reinterpret_cast<PyTypeObject*>(type.ptr()));
}

std::optional<double> bound_of(PyObject* b, bool& ok) {
  if (!b) {
    ok = false;
    return std::nullopt;
  }
  if (b == Py_None) return std::nullopt;
  if (PyFloat_CheckExact(b)) return PyFloat_AS_DOUBLE(b);
  if (PyLong_CheckExact(b)) {
    const double x = PyLong_AsDouble(b);
    if (x == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      ok = false;
    }
    return x;
  }
  ok = false;  // converting may run Python code, or fail: the lazy lookup's affair
  return std::nullopt;
}

}  // namespace

// What one bin was read as, and the objects it was read from (owned: their identities
// are compared later).
struct ReadBin {
  nb::object record, name, value, lower, upper, categories, category_items;
  zelvora::BinRole role = zelvora::BinRole::ordinary;
  bool numerical = false, categorical = false;
  std::optional<double> lower_bound, upper_bound;
  bool bounds_ok = true;
  std::optional<std::vector<std::string>> texts;
  bool texts_ok = true;
};

struct BinningCache::Entry {
  nb::object weakref, list, items;  // the binning's bin list and the list's items
  std::vector<ReadBin> bins;
  std::uint64_t changes = 0;
  bool numeric_ok = true, categoric_ok = true;
  std::optional<zelvora::CompiledNumericBinning> numeric;
  std::optional<zelvora::CompiledCategoricBinning> categoric;

  // The compiler's view of the bins read (zelvora/bin_lookup.hpp sources).
  struct Source {
    const std::vector<ReadBin>& bins;
    bool numerical;
    std::size_t size() const { return bins.size(); }
    zelvora::BinRole role(std::size_t i) const { return bins[i].role; }
    bool is_of_kind(std::size_t i) const {
      return numerical ? bins[i].numerical : bins[i].categorical;
    }
    std::optional<double> lower_bound(std::size_t i) const { return bins[i].lower_bound; }
    std::optional<double> upper_bound(std::size_t i) const { return bins[i].upper_bound; }
    std::optional<std::vector<std::string>> category_texts(std::size_t i) const {
      return bins[i].texts;
    }
  };

  // Whether the list and every categories list hold the same items as when read (they
  // change in place, without any assignment). No Python code runs, nothing is allocated.
  bool same_shape() const {
    if (!holds_same(list.ptr(), items.ptr())) return false;
    for (const ReadBin& b : bins) {
      if (b.category_items.is_valid() && !holds_same(b.categories.ptr(), b.category_items.ptr()))
        return false;
    }
    return true;
  }

  int traverse(visitproc visit, void* arg) const {
    for (const nb::object* o : {&weakref, &list, &items}) Py_VISIT(o->ptr());
    for (const ReadBin& b : bins) {
      for (const nb::object* o :
           {&b.record, &b.name, &b.value, &b.lower, &b.upper, &b.categories, &b.category_items})
        Py_VISIT(o->ptr());
    }
    return 0;
  }

  // After an assignment somewhere: whether every field read is still the same object.
  bool same_fields(const BinRecordTypes& t, nb::handle binning) const {
    PyObject* binning_dict = instance_dict_of(binning.ptr());
    if (!binning_dict || dict_item(binning_dict, t.feature_binning.ptr()) != list.ptr())
      return false;
    for (const ReadBin& b : bins) {
      PyObject* d = instance_dict_of(b.record.ptr());  // a new one after __init__ again
      if (!d) return false;
      if (is_of(b.record.ptr(), t.numerical_bin) != b.numerical ||
          is_of(b.record.ptr(), t.categorical_bin) != b.categorical)
        return false;
      if (dict_item(d, t.name.ptr()) != b.name.ptr() ||
          dict_item(d, t.value.ptr()) != b.value.ptr() ||
          dict_item(d, t.lower_bound.ptr()) != b.lower.ptr() ||
          dict_item(d, t.upper_bound.ptr()) != b.upper.ptr() ||
          dict_item(d, t.categories.ptr()) != b.categories.ptr())
        return false;
    }
    return true;
  }
};

namespace {

// Reads one bin; false when it has no instance dict or no name.
bool read_bin(const BinRecordTypes& t, PyObject* record, ReadBin& b) {
  b.record = nb::borrow(record);
  PyObject* dict = instance_dict_of(record);
  if (!dict || !PyDict_CheckExact(dict)) return false;
  b.name = owned(dict_item(dict, t.name.ptr()));
  if (!b.name.is_valid()) return false;
  b.value = owned(dict_item(dict, t.value.ptr()));
  if (PyUnicode_Check(b.name.ptr())) {
    const std::optional<std::string_view> ascii = ascii_view(b.name);
    if (ascii) b.role = zelvora::bin_role(*ascii);
  }
  b.numerical = is_of(record, t.numerical_bin);
  b.categorical = is_of(record, t.categorical_bin);
  b.lower = owned(dict_item(dict, t.lower_bound.ptr()));
  b.upper = owned(dict_item(dict, t.upper_bound.ptr()));
  b.categories = owned(dict_item(dict, t.categories.ptr()));
  if (b.numerical) {
    b.lower_bound = bound_of(b.lower.ptr(), b.bounds_ok);
    b.upper_bound = bound_of(b.upper.ptr(), b.bounds_ok);
  }
  if (b.categorical) {
    PyObject* c = b.categories.ptr();
    if (!c || (c != Py_None && !PyList_CheckExact(c))) {
      b.texts_ok = false;
    } else if (c != Py_None) {
      b.category_items = items_of(c);
      std::vector<std::string> texts;
      for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(b.category_items.ptr()); ++k) {
        PyObject* item = PyTuple_GET_ITEM(b.category_items.ptr(), k);
        if (!PyUnicode_CheckExact(item)) {
          b.texts_ok = false;
          break;
        }
        texts.push_back(text_bytes(item));
      }
      if (b.texts_ok) b.texts = std::move(texts);
    }
  }
  return true;
}

// The binning's bin list, borrowed; null when it cannot be read without running code.
PyObject* bin_list_of(const BinRecordTypes& t, PyObject* binning) {
  PyObject* dict = instance_dict_of(binning);
  if (!dict || !PyDict_CheckExact(dict)) return nullptr;
  PyObject* list = dict_item(dict, t.feature_binning.ptr());
  return list && PyList_CheckExact(list) ? list : nullptr;
}

}  // namespace

BinningCache::BinningCache() = default;
BinningCache::~BinningCache() = default;

int BinningCache::traverse(visitproc visit, void* arg) const {
  return entries_.traverse(visit, arg);
}

BinningCache::Entry* BinningCache::current(const BinRecordTypes& types, nb::handle binning) {
  const std::uint64_t changes = record_changes();
  // Assignments (and __init__ run again) are counted; lists edited in place are compared
  // item by item on every call.
  if (Entry* e = entries_.find(binning)) {
    if (e->changes == changes) {
      if (e->same_shape()) return e;
    } else if (e->same_fields(types, binning) && e->same_shape()) {
      e->changes = changes;
      return e;
    }
  }
  PyObject* list = bin_list_of(types, binning.ptr());
  if (!list) return nullptr;

  // Read anew. Allocating may run the collector, hence code that reaches the map: the
  // entry is built apart and put in at the end.
  auto e = std::make_unique<Entry>();
  e->changes = changes;
  e->list = nb::borrow(list);
  e->items = items_of(list);
  const Py_ssize_t n = PyTuple_GET_SIZE(e->items.ptr());
  e->bins.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    ReadBin& b = e->bins[static_cast<std::size_t>(i)];
    if (!read_bin(types, PyTuple_GET_ITEM(e->items.ptr(), i), b)) return nullptr;
    e->numeric_ok = e->numeric_ok && b.bounds_ok;
    e->categoric_ok = e->categoric_ok && b.texts_ok;
  }
  return entries_.keep(binning, std::move(e));
}

namespace {

BinHit hit_of(const BinningCache::Entry& e, const zelvora::BinChoice& choice) {
  if (!choice.bin) return {nb::none(), choice.log};
  const ReadBin& b = e.bins[*choice.bin];
  return {b.record, choice.log, b.value};
}

}  // namespace

std::optional<BinHit> BinningCache::numeric(const BinRecordTypes& types, nb::handle binning,
                                            double x) {
  Entry* e = current(types, binning);
  if (!e || !e->numeric_ok) return std::nullopt;
  if (!e->numeric)
    e->numeric = zelvora::CompiledNumericBinning::compile(Entry::Source{e->bins, true});
  try {
    const zelvora::BinChoice choice = e->numeric->find(x);
    return hit_of(*e, choice);
  } catch (const zelvora::IncompleteBin& error) {
    raise_incomplete(error);
  }
}

std::optional<BinHit> BinningCache::categoric(const BinRecordTypes& types, nb::handle binning,
                                              nb::handle value) {
  if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) return std::nullopt;
  Entry* e = current(types, binning);
  if (!e || !e->categoric_ok) return std::nullopt;
  if (!e->categoric)
    e->categoric = zelvora::CompiledCategoricBinning::compile(Entry::Source{e->bins, false});
  try {
    zelvora::BinChoice choice;
    if (is_missing_category_value(value)) {
      choice = e->categoric->find_missing();
    } else if (const std::optional<std::string_view> ascii = ascii_view(value)) {
      choice = e->categoric->find(*ascii);
    } else {
      choice = e->categoric->find(text_bytes(value));
    }
    return hit_of(*e, choice);
  } catch (const zelvora::IncompleteBin& error) {
    raise_incomplete(error);
  }
}

}  // namespace zelvora::py
