// Big objects fetched as byte ranges on several connections at once
// (ranges.cpp). The parts are tasks of the call's pool, so the requests of
// one call never outnumber its threads, and no thread waits for a part: the
// part that ends last replaces the target or removes the temporary file.
#pragma once

#include "ostrel.hpp"
#include "parts.hpp"
#include "transfers.hpp"

#include <memory>

namespace ostrel {

class Progress;

// The download of one listed object of a directory transfer: by ranges
// when `size` (an int, or None when the listing gives none) is kPartedMinimum
// or more,
// else fetch_file(). With `progress`, it counts its bytes, and the object
// as done once all of them are written.
std::unique_ptr<Task> object_download(PyObject* self, PyObject* bucket_name, PyObject* object_name,
                                      PyObject* target, PyObject* size, const Progress& progress);

// The path that a ranged download of `target` writes (a str, or what a
// path-like object gives as str); empty when it is not a path of text.
Ref ranged_target(PyObject* target);

// Fetches the object `stat` describes (its size and ETag) by ranges into
// `target` (from ranged_target), on a pool of its own or, on a transfer
// thread, one part after another. With `progress`, it counts its bytes
// (the caller counts the object as done).
void download_ranges(PyObject* self, PyObject* client, PyObject* bucket_name, PyObject* object_name,
                     const Ref& target, PyObject* stat, const Progress& progress);

}  // namespace ostrel
