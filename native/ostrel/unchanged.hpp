// skip_unchanged (unchanged.cpp): which objects a directory transfer leaves
// alone because the local file already holds the object's content, and the
// task that compares (on a transfer thread where the transfer would run)
// before it moves anything.
#pragma once

#include "ostrel.hpp"
#include "transfers.hpp"

#include <memory>

namespace ostrel {

class Outcomes;
class Progress;

// The `skip_unchanged` value as used; ValueError naming the key unless
// True, False or None.
bool skip_unchanged_from(PyObject* value);

// True when a tree transfer's `skip_unchanged` argument is "size" (compare
// sizes alone); ValueError for any other str.
bool size_only_from(PyObject* value);

// skip_unchanged_from(self._config.skip_unchanged), an optional attribute.
bool configured_skip_unchanged(PyObject* self);

// {object name: (size, etag)} of the objects directly under `prefix`: one
// list_objects(bucket_name=, prefix=, recursive=False) request.
Ref listed_objects(PyObject* self, PyObject* bucket_name, PyObject* prefix);

// One object of a directory transfer: self.<method>(bucket_name,
// object_name, local) and, when `parallel` is set, parallel=parallel.
struct ObjectTransfer {
    PyObject* method;  // _upload_file or _download_file (an interned name)
    Ref bucket_name;
    Ref object_name;
    Ref local;         // the local file
    Ref parallel;      // empty: not passed
    // The object as listed, when the transfer is left out if the local file
    // matches it (skip_unchanged): its size and ETag.
    Ref size;
    Ref etag;
    // Only a regular file can match; a link to one only when following links
    // (the walk follows them; a download's target must be the file itself).
    bool follow_links = true;
    // Compared by size alone (skip_unchanged="size"): the content is not read.
    bool size_only = false;
    // A tree transfer's record of the object: added to `outcomes` once the
    // object is transferred, or instead of transferring it (`dry_run`).
    std::shared_ptr<const Outcomes> outcomes{};
    Ref record{};
    bool dry_run = false;
};

// Hands `object` to `transfers`: the method call itself (Transfers::call),
// or `direct` (a task of the transfer's own that counts what it moves,
// object_download()) when given, when nothing is to be counted or compared;
// else a task that compares (where the transfer would run), then runs
// `direct`, or calls the method and counts the object as done.
void transfer_object(Transfers& transfers, PyObject* self, const Progress& progress, ObjectTransfer object,
                     std::unique_ptr<Task> direct = nullptr);

}  // namespace ostrel
