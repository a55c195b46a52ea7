// The records of a tree transfer.
#include "outcomes.hpp"

namespace ostrel {

using tavrin::require;

Outcomes::Outcomes(PyObject* report) : records_(require(PyList_New(0))) {
    if (report != nullptr && report != Py_None) report_ = Ref::borrow(report);
}

Ref Outcomes::record(PyObject* action, PyObject* source, PyObject* target, PyObject* size) {
    State& s = state();
    Ref record = require(PyDict_New());
    require(PyDict_SetItem(record.get(), s.n.action.get(), action));
    require(PyDict_SetItem(record.get(), s.n.source.get(), source));
    require(PyDict_SetItem(record.get(), s.n.target.get(), target));
    require(PyDict_SetItem(record.get(), s.n.size.get(), size));
    return record;
}

void Outcomes::add(PyObject* record) const {
    require(PyList_Append(records_.get(), record));
    if (report_) tavrin::call(report_.get(), {record});
}

}  // namespace ostrel
