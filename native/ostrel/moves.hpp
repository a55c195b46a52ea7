// Moves between local files and the store (moves.cpp): _move_file_up,
// _move_tree_up and _move_tree_down. The tree transfer runs first (_upload_tree,
// _download_tree, called as methods); each source goes only once its copy
// is stored whole and checked, and a source whose copy does not check out
// is kept, warned about and recorded as skipped.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

extern PyMethodDef move_file_up_def, move_tree_up_def, move_tree_down_def;

}  // namespace ostrel
