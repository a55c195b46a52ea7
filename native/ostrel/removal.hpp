// Batch removal of objects (removal.cpp), which _remove_objects and the tree
// transfers share. Called with the GIL.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

// Removes the objects named by `names` (an iterable of str) with the client
// library's batch removal, which sends up to 1,000 names a request; each
// per-object failure is logged as a warning. The names that failed, as a
// set (empty when every removal succeeded).
Ref remove_batch(PyObject* self, PyObject* bucket_name, PyObject* names);

}  // namespace ostrel
