// What a tree transfer does (sync.cpp: _upload_tree, _download_tree and
// _remove_tree), reported as records {"action", "source", "target", "size"}:
// built by the tree transfers, added by their per-object tasks
// (unchanged.cpp) as each object is transferred.
#pragma once

#include "filters.hpp"
#include "ostrel.hpp"
#include "walk.hpp"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace ostrel {

// The records of one tree transfer: kept in a list (the call's result) and
// handed, as each comes, to the caller's `report` callable. Used with the
// GIL, from any thread of the transfer.
class Outcomes {
public:
    explicit Outcomes(PyObject* report);
    // A new record; `source` may be None (a deletion), `size` None.
    static Ref record(PyObject* action, PyObject* source, PyObject* target, PyObject* size);
    void add(PyObject* record) const;
    const Ref& records() const noexcept { return records_; }

private:
    Ref records_;
    Ref report_;  // empty: none
};

// The pieces below are the tree transfers' (sync.cpp), shared with the
// copies and moves inside the store (copies.cpp, moves.cpp).

// The keyword-only options the tree transfers share.
struct TreeOptions {
    Filter filter;
    bool skip_unchanged = false;
    bool size_only = false;  // skip_unchanged="size"
    bool delete_missing = false;
    bool dry_run = false;
    std::shared_ptr<Outcomes> outcomes;
};

// The options from the arguments (any may be null: not given).
TreeOptions tree_options(PyObject* exclude, PyObject* filters, PyObject* skip_unchanged, PyObject* delete_missing,
                         PyObject* dry_run, PyObject* report);

// The folder a tree transfer lists: folder_prefix(prefix), or, when
// `wildcard` (may be null) is true, the folder of the wildcard `prefix`,
// to which `filter` is narrowed.
Ref tree_prefix(PyObject* prefix, PyObject* wildcard, Filter& filter);

// Adds `path` (relative, "/"-separated) to `kept`, and each folder above it
// as "<folder>/": a deletion keeps the markers of folders that keep files.
void keep_with_folders(std::unordered_set<std::u32string>& kept, const std::u32string& path);

// "s3://<bucket>/<name>"
Ref remote_url(PyObject* bucket_name, PyObject* object_name);

Ref size_object(long long size);

// The objects `stale`, to delete: batch removal (unless a dry run), a
// "delete" record per removed object and a "skip" record per failure.
// Returns the number of failures.
long long delete_objects(PyObject* self, PyObject* bucket_name, const std::vector<const RemoteEntry*>& stale,
                         const TreeOptions& options);

}  // namespace ostrel
