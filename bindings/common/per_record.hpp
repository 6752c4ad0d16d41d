// What a module keeps per record (a compiled binning, an index of a registry), dropped
// when the record dies. A module keeps one in its state:
//
//   struct Compiled { nb::object weakref; ...; int traverse(visitproc, void*) const; };
//   PerRecord<Compiled> compiled;
//   if (Compiled* c = compiled.find(record); c && still_valid(*c)) return use(*c);
//   Compiled* c = compiled.keep(record, build(record));  // null: the record has no weak refs
//
// `keep` allocates (a weak reference, its callback), which may run the collector and so
// any code: build the entry completely first, and hold no entry pointer across anything
// that runs Python code after `keep`, other than the one it returned for this live record.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace zelvora::py {

namespace nb = nanobind;

// Reading records without running Python code, to compare identities later.

/// The instance dict of a record, borrowed, neither materialised nor copied; null when
/// it has none.
inline PyObject* instance_dict_of(PyObject* record) {
  PyObject** slot = _PyObject_GetDictPtr(record);
  return slot ? *slot : nullptr;
}

/// An item of an exact dict by an exact-str key, borrowed; null when absent. No Python
/// code runs on records' instance dicts, which are keyed by str.
inline PyObject* dict_item(PyObject* dict, PyObject* key) {
  PyObject* item = PyDict_GetItemWithError(dict, key);
  if (!item && PyErr_Occurred()) PyErr_Clear();
  return item;
}

/// Whether an exact list holds exactly the items of a tuple taken from it (identities,
/// in order).
inline bool holds_same(PyObject* list, PyObject* items) {
  const Py_ssize_t n = PyTuple_GET_SIZE(items);
  if (PyList_GET_SIZE(list) != n) return false;
  if (n == 0) return true;
  return std::memcmp(&PyList_GET_ITEM(list, 0), &PyTuple_GET_ITEM(items, 0),
                     static_cast<std::size_t>(n) * sizeof(PyObject*)) == 0;
}

template <class Entry>
class PerRecord {
 public:
  PerRecord() { live().insert(this); }
  PerRecord(const PerRecord&) = delete;
  PerRecord& operator=(const PerRecord&) = delete;
  ~PerRecord() {
    live().erase(this);
    // Released outside the map: releasing may run code that reaches it.
    auto entries = std::move(entries_);
    entries_.clear();
  }

  /// The entry of `record`; null when none is kept (or only that of a dead record that
  /// lived at the same address).
  Entry* find(nb::handle record) const {
    auto it = entries_.find(record.ptr());
    if (it == entries_.end()) return nullptr;
    const auto* weakref = reinterpret_cast<const PyWeakReference*>(it->second->weakref.ptr());
    return weakref->wr_object == record.ptr() ? it->second.get() : nullptr;
  }

  /// Keeps `entry` (its `weakref` set here) for as long as `record` lives, replacing an
  /// older one; null, keeping nothing, when the record takes no weak references.
  Entry* keep(nb::handle record, std::unique_ptr<Entry> entry) {
    // The closure keeps the record's address as a number, no Python object.
    nb::object drop = nb::cpp_function(
        [this, key = reinterpret_cast<std::uintptr_t>(record.ptr())](nb::handle weakref) {
          if (live().contains(this)) forget(key, weakref.ptr());
        });
    entry->weakref = nb::steal(PyWeakref_NewRef(record.ptr(), drop.ptr()));
    if (!entry->weakref.is_valid()) {
      PyErr_Clear();
      return nullptr;
    }
    Entry* kept = entry.get();
    std::swap(entries_[record.ptr()], entry);
    entry.reset();  // the outdated entry, if any
    return kept;
  }

  int traverse(visitproc visit, void* arg) const {
    for (const auto& [key, entry] : entries_) {
      if (int result = entry->traverse(visit, arg)) return result;
    }
    return 0;
  }

 private:
  // The collections alive in this module: a weak reference's callback may come after
  // its collection is gone (the reference kept elsewhere).
  static std::unordered_set<const void*>& live() {
    static std::unordered_set<const void*> collections;
    return collections;
  }

  void forget(std::uintptr_t key, PyObject* weakref) {
    auto it = entries_.find(reinterpret_cast<PyObject*>(key));
    if (it == entries_.end() || it->second->weakref.ptr() != weakref) return;
    std::unique_ptr<Entry> dead = std::move(it->second);
    entries_.erase(it);
  }

  std::unordered_map<PyObject*, std::unique_ptr<Entry>> entries_;
};

}  // namespace zelvora::py
