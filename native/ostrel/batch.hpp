// Many objects at once (batch.cpp): TavrinOstrel._transfer_many, one call
// for a list of (source, target) pairs of one kind (downloads, uploads,
// copies inside the server, reads into memory, sizes), each pair a task of
// the client's transfer pool.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

extern PyMethodDef transfer_many_def;

}  // namespace ostrel
