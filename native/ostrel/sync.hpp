// Tree transfers at every depth (sync.cpp): _upload_tree, _download_tree and
// _remove_tree, with exclude patterns, the content comparison of
// skip_unchanged, deletion of what the source lacks, and dry runs. What they
// do is reported as records {"action", "source", "target", "size"}.
#pragma once

#include "ostrel.hpp"

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

}  // namespace ostrel
