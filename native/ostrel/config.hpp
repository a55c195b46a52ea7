// Configuration keys that the transfers read on every call (config.cpp).
// Each value was checked at construction; these read it again, as an
// optional attribute, since a tunnel's configuration object need not carry it.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

// The most transfer threads a client may ask for with `workers`.
inline constexpr long kMaxWorkers = 256;

// The thread count of a `workers` value: 1 (serial) for None, else an int
// from 1 to kMaxWorkers; ValueError naming the key for anything else.
long workers_from(PyObject* value);

// workers_from(self._config.workers), read as an optional attribute (a
// tunnel's configuration object need not carry it): 1 when absent.
long configured_workers(PyObject* self);

}  // namespace ostrel
