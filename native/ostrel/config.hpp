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

// The value of a key that is True, False or None: `when_none` for None;
// ValueError naming `key` for anything else.
bool flag_from(PyObject* value, const char* key, bool when_none);

// self._config.<name>, read as an optional attribute; empty when absent.
Ref configured(PyObject* self, PyObject* name);

}  // namespace ostrel
