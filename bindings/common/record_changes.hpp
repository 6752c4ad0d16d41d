// A count of the changes made to records: CoreModel's __setattr__ and __delattr__ bump it
// once the change is made. What a module computes from records and keeps (a compiled
// binning, an index of a registry) stays valid while the count stays. Writes that bypass
// attribute assignment (into a record's __dict__, re-running __init__ on a record) are
// not counted: a keeper also compares the identities it read (lists, dicts).
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace zelvora::py {

namespace nb = nanobind;

/// The count now, shared by every module of the package.
std::uint64_t record_changes();

/// Counts one change; the record base calls it after every assignment or deletion.
void note_record_change();

/// Publishes the count in the record-base module, where the other modules find it.
void publish_record_changes(nb::module_& m);

}  // namespace zelvora::py
