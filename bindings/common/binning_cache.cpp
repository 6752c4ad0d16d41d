#include "common/binning_cache.hpp"

#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/conversions.hpp"
#include "common/record_changes.hpp"
#include "zelvora/compiled_binning.hpp"

namespace zelvora::py {

namespace {

// The instance dict of a record, borrowed, without materialising or copying anything;
// null when it has none.
PyObject* dict_of(PyObject* record) {
  PyObject** slot = _PyObject_GetDictPtr(record);
  return slot ? *slot : nullptr;
}

// An item of an exact dict by an exact-str key, borrowed; null when absent. No Python
// code runs: the dicts read here are records' instance dicts, keyed by str.
PyObject* item_of(PyObject* dict, PyObject* key) {
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (!item && PyErr_Occurred()) PyErr_Clear();
  return item;
}

nb::object owned(PyObject* item) {
  return item ? nb::borrow(item) : nb::object();
}

// A private tuple of a list's items: what the list held when read.
nb::object items_of(PyObject* list) {
  return steal_or_throw(PyList_AsTuple(list));
}

// Whether the list still holds exactly the items of `items` (identities, in order).
bool holds_same(PyObject* list, PyObject* items) {
  const Py_ssize_t n = PyTuple_GET_SIZE(items);
  if (PyList_GET_SIZE(list) != n) return false;
  if (n == 0) return true;
  return std::memcmp(&PyList_GET_ITEM(list, 0), &PyTuple_GET_ITEM(items, 0),
                     static_cast<std::size_t>(n) * sizeof(PyObject*)) == 0;
}

bool is_of(PyObject* record, nb::handle type) {
  return PyObject_TypeCheck(record, reinterpret_cast<PyTypeObject*>(type.ptr()));
}

// The caches alive in this module: a weak reference's callback may come after its
// cache is gone (a reference kept elsewhere).
std::unordered_set<const BinningCache*>& live_caches() {
  static std::unordered_set<const BinningCache*> live;
  return live;
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
  nb::object record, dict, name, lower, upper, categories, category_items;
  zelvora::BinRole role = zelvora::BinRole::ordinary;
  bool numerical = false, categorical = false;
  std::optional<double> lower_bound, upper_bound;
  bool bounds_ok = true;
  std::optional<std::vector<std::string>> texts;
  bool texts_ok = true;
};

struct BinningCache::Entry {
  nb::object weakref, list, items;
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

  // Whether the list and every bin's dict and categories are as read. No Python code
  // runs, nothing is allocated.
  bool same_shape(PyObject* list_now) const {
    if (list_now != list.ptr() || !holds_same(list_now, items.ptr())) return false;
    for (const ReadBin& b : bins) {
      if (dict_of(b.record.ptr()) != b.dict.ptr()) return false;
      if (b.category_items.is_valid() && !holds_same(b.categories.ptr(), b.category_items.ptr()))
        return false;
    }
    return true;
  }

  // After an assignment somewhere: whether every field read is still the same object.
  bool same_fields(const BinRecordTypes& t) const {
    for (const ReadBin& b : bins) {
      PyObject* d = b.dict.ptr();
      if (is_of(b.record.ptr(), t.numerical_bin) != b.numerical ||
          is_of(b.record.ptr(), t.categorical_bin) != b.categorical)
        return false;
      if (item_of(d, t.name.ptr()) != b.name.ptr() ||
          item_of(d, t.lower_bound.ptr()) != b.lower.ptr() ||
          item_of(d, t.upper_bound.ptr()) != b.upper.ptr() ||
          item_of(d, t.categories.ptr()) != b.categories.ptr())
        return false;
    }
    return true;
  }
};

namespace {

// Reads one bin; false when it has no instance dict or no name.
bool read_bin(const BinRecordTypes& t, PyObject* record, ReadBin& b) {
  b.record = nb::borrow(record);
  PyObject* dict = dict_of(record);
  if (!dict || !PyDict_CheckExact(dict)) return false;
  b.dict = nb::borrow(dict);
  b.name = owned(item_of(dict, t.name.ptr()));
  if (!b.name.is_valid()) return false;
  if (PyUnicode_Check(b.name.ptr())) {
    const std::optional<std::string_view> ascii = ascii_view(b.name);
    if (ascii) b.role = zelvora::bin_role(*ascii);
  }
  b.numerical = is_of(record, t.numerical_bin);
  b.categorical = is_of(record, t.categorical_bin);
  b.lower = owned(item_of(dict, t.lower_bound.ptr()));
  b.upper = owned(item_of(dict, t.upper_bound.ptr()));
  b.categories = owned(item_of(dict, t.categories.ptr()));
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
  PyObject* dict = dict_of(binning);
  if (!dict || !PyDict_CheckExact(dict)) return nullptr;
  PyObject* list = item_of(dict, t.feature_binning.ptr());
  return list && PyList_CheckExact(list) ? list : nullptr;
}

}  // namespace

BinningCache::BinningCache() {
  live_caches().insert(this);
}

BinningCache::~BinningCache() {
  live_caches().erase(this);
  // Released outside the map: releasing may run code that reaches the cache.
  auto entries = std::move(entries_);
  entries_.clear();
}

int BinningCache::traverse(visitproc visit, void* arg) const {
  for (const auto& [key, e] : entries_) {
    for (const nb::object* o : {&e->weakref, &e->list, &e->items}) Py_VISIT(o->ptr());
    for (const ReadBin& b : e->bins) {
      for (const nb::object* o :
           {&b.record, &b.dict, &b.name, &b.lower, &b.upper, &b.categories, &b.category_items})
        Py_VISIT(o->ptr());
    }
  }
  return 0;
}

void BinningCache::forget(std::uintptr_t key, PyObject* weakref) {
  auto it = entries_.find(reinterpret_cast<PyObject*>(key));
  if (it == entries_.end() || it->second->weakref.ptr() != weakref) return;
  std::unique_ptr<Entry> dead = std::move(it->second);
  entries_.erase(it);
}

BinningCache::Entry* BinningCache::current(const BinRecordTypes& types, nb::handle binning) {
  PyObject* list = bin_list_of(types, binning.ptr());
  if (!list) return nullptr;
  const std::uint64_t changes = record_changes();
  if (auto it = entries_.find(binning.ptr()); it != entries_.end()) {
    Entry* e = it->second.get();
    // The weak reference tells a dead binning's entry from one for this binning at the same
    // address.
    const auto* weakref = reinterpret_cast<PyWeakReference*>(e->weakref.ptr());
    if (weakref->wr_object == binning.ptr() && e->same_shape(list)) {
      if (e->changes == changes) return e;
      if (e->same_fields(types)) {
        e->changes = changes;
        return e;
      }
    }
  }

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
  // The closure keeps the binning's address as a number, no Python object.
  nb::object drop = nb::cpp_function(
      [this, key = reinterpret_cast<std::uintptr_t>(binning.ptr())](nb::handle weakref) {
        if (live_caches().contains(this)) forget(key, weakref.ptr());
      });
  e->weakref = nb::steal(PyWeakref_NewRef(binning.ptr(), drop.ptr()));
  if (!e->weakref.is_valid()) {  // a binning without weak references: nothing is kept
    PyErr_Clear();
    return nullptr;
  }
  Entry* fresh = e.get();
  std::unique_ptr<Entry>& slot = entries_[binning.ptr()];
  std::swap(slot, e);
  e.reset();  // the outdated entry, if any
  return fresh;
}

std::optional<BinHit> BinningCache::numeric(const BinRecordTypes& types, nb::handle binning,
                                            double x) {
  Entry* e = current(types, binning);
  if (!e || !e->numeric_ok) return std::nullopt;
  if (!e->numeric)
    e->numeric = zelvora::CompiledNumericBinning::compile(Entry::Source{e->bins, true});
  try {
    const zelvora::BinChoice choice = e->numeric->find(x);
    return BinHit{choice.bin ? e->bins[*choice.bin].record : nb::none(), choice.log};
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
    return BinHit{choice.bin ? e->bins[*choice.bin].record : nb::none(), choice.log};
  } catch (const zelvora::IncompleteBin& error) {
    raise_incomplete(error);
  }
}

}  // namespace zelvora::py
