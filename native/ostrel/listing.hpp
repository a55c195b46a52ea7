// Object listings as records, shared by the recursive listing
// (_bucket_list_files, buckets.cpp) and the one-level listing
// (_bucket_list_level, levels.cpp).
#pragma once

#include "ostrel.hpp"

namespace ostrel {

// The six-key record of _bucket_list_files for one minio.datatypes.Object.
// With `folder`, the entry is a common prefix of a listing with a delimiter
// (its name ends in "/" and it has no date, ETag or size): only its bucket
// and name are set, the other values stay None.
Ref object_record(PyObject* entry, bool folder = false);

// The records of self._engine.list_objects(bucket_name=, prefix=,
// recursive=), in listing order; without `recursive`, the common prefixes
// are folder records.
Ref listing_records(PyObject* self, PyObject* bucket_name, PyObject* prefix, bool recursive);

}  // namespace ostrel
