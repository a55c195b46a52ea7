// A folder's objects at every depth as a tree of folders (tree.cpp):
// TavrinOstrel._folder_tree turns one recursive listing into each folder's
// sub-folders and objects, as file-system records, so a file system's find,
// walk, du and glob make one request and do no work per object themselves.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

extern PyMethodDef folder_tree_def;

}  // namespace ostrel
