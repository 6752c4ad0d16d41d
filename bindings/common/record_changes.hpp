// A count of the changes made to records: CoreModel's __setattr__ and __delattr__ bump it
// once the change is made, and so does __init__ run again on a live record. What a module
// computes from records and keeps (a compiled binning, an index of a registry) stays
// valid while the count stays; lists edited in place are the keeper's to compare. Writes
// into a record's __dict__ itself (object.__setattr__, __setstate__) are not counted.
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
