// Copies inside the store (copies.cpp): _copy_object and _copy_tree. The
// server copies each object (the client library's copy_object, which copies
// an object over 5 GiB in parts); no byte passes through this process. A
// move removes each source only once its copy is stored and checked.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

extern PyMethodDef copy_object_def, copy_tree_def;

}  // namespace ostrel
