// Downloads whose response stream broke are made again.
#include "retries.hpp"

#include "tavrin/gil.hpp"

#include <chrono>

namespace ostrel {

bool broken_stream(const tavrin::PendingError& error) {
    State& s = state();
    try {
        Ref exceptions = tavrin::getattr(global(s.n.urllib3.get()).get(), s.n.exceptions.get());
        for (PyObject* name : {s.n.ProtocolError.get(), s.n.ReadTimeoutError.get()}) {
            if (error.matches(tavrin::getattr(exceptions.get(), name).get())) return true;
        }
    } catch (const tavrin::PyErrOccurred&) {
        PyErr_Clear();  // no such classes to be found: the download's own error is the one to raise
    }
    return false;
}

void raise_short_body() {
    State& s = state();
    Ref exceptions = tavrin::getattr(global(s.n.urllib3.get()).get(), s.n.exceptions.get());
    Ref error = tavrin::call(tavrin::getattr(exceptions.get(), s.n.ProtocolError.get()).get(), {s.msg_short_body.get()});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw tavrin::PyErrOccurred();
}

void stream_retry_pause(int failures) {
    tavrin::sleep_for(std::chrono::milliseconds(200) * (1 << (failures - 1)));
}

}  // namespace ostrel
