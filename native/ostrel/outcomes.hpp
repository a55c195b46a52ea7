// What a tree transfer does (sync.cpp: _upload_tree, _download_tree and
// _remove_tree), reported as records {"action", "source", "target", "size"}:
// built by the tree transfers, added by their per-object tasks
// (unchanged.cpp) as each object is transferred.
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
