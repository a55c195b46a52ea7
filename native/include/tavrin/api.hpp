// Thin checked wrappers over the C-API calls that operation code makes.
// Every wrapper either returns a valid result or throws PyErrOccurred.
#pragma once

#include "tavrin/ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace tavrin {

inline constexpr std::size_t kMaxCallArgs = 8;

inline Ref getattr(PyObject* obj, PyObject* name) { return require(PyObject_GetAttr(obj, name)); }

// obj.name, or an empty Ref when obj has no such attribute (AttributeError).
inline Ref optional_getattr(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    require(PyObject_GetOptionalAttr(obj, name, &value));
    return Ref::steal(value);
#else
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrOccurred();
        PyErr_Clear();
    }
    return Ref::steal(value);
#endif
}

inline void setattr(PyObject* obj, PyObject* name, const Ref& value) {
    require(PyObject_SetAttr(obj, name, value.get()));
}

inline bool truth(PyObject* obj) { return require(PyObject_IsTrue(obj)) != 0; }
inline bool truth(const Ref& obj) { return truth(obj.get()); }

// The value of an int as long long; its TypeError or OverflowError is raised.
inline long long as_long_long(PyObject* value) {
    const long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred()) throw PyErrOccurred();
    return result;
}

// True when `item` is among the members of `container` (the `in` operator).
inline bool contains(PyObject* container, PyObject* item) {
    return require(PySequence_Contains(container, item)) != 0;
}

inline Ref text(const char* utf8) { return require(PyUnicode_FromString(utf8)); }

inline Ref interned(const char* utf8) { return require(PyUnicode_InternFromString(utf8)); }

// callable(*args, **dict(zip(kwnames, trailing args))): the last
// len(kwnames) entries of `args` are keyword values. No dict is built.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    PyObject* stack[kMaxCallArgs + 1];
    if (args.size() > kMaxCallArgs) {
        PyErr_SetString(PyExc_SystemError, "too many call arguments");
        throw PyErrOccurred();
    }
    std::size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const std::size_t npos = n - static_cast<std::size_t>(nkw);
    return require(PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args, ...) with the same keyword convention as call().
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                       PyObject* kwnames = nullptr) {
    PyObject* stack[kMaxCallArgs + 1];
    if (args.size() > kMaxCallArgs) {
        PyErr_SetString(PyExc_SystemError, "too many call arguments");
        throw PyErrOccurred();
    }
    stack[0] = obj;
    std::size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const std::size_t npos = n - static_cast<std::size_t>(nkw);
    return require(PyObject_VectorcallMethod(name, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// for item in iterable: visit(item)  -- with item owned by the loop.
template <typename Visit>
void for_each(PyObject* iterable, Visit&& visit) {
    Ref iterator = require(PyObject_GetIter(iterable));
    while (PyObject* next = PyIter_Next(iterator.get())) {
        visit(Ref::steal(next));
    }
    if (PyErr_Occurred()) throw PyErrOccurred();
}

// A tuple of interned keyword names, made once and kept for the calls that use it.
inline Ref kwnames(std::initializer_list<const char*> names) {
    Ref tuple = require(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(tuple.get(), i++, interned(name).release());
    return tuple;
}

// The exception being raised, taken out of the thread state so that code
// can run (and look names up) before deciding whether to handle it.
class PendingError {
public:
    PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        exc_ = value;
#endif
    }
    // An exception object to raise later (none when `exception` is empty).
    explicit PendingError(Ref exception) noexcept : exc_(exception.release()) {}
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { Py_XDECREF(exc_); }

    explicit operator bool() const noexcept { return exc_ != nullptr; }

    // The exception object, taken out (empty when there was none).
    Ref take() noexcept { return Ref::steal(std::exchange(exc_, nullptr)); }

    // isinstance(exception, cls) in the sense of an `except cls:` clause.
    bool matches(PyObject* cls) const noexcept {
        return exc_ != nullptr && PyErr_GivenExceptionMatches(exc_, cls);
    }

    // Sets the exception again as the one being raised.
    void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyObject* tb = exc_ ? PyException_GetTraceback(exc_) : nullptr;
        PyErr_Restore(exc_ ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc_))) : nullptr, exc_, tb);
#endif
        exc_ = nullptr;
    }

    // Raises the exception again and fails the current call.
    [[noreturn]] void reraise() {
        restore();
        throw PyErrOccurred();
    }

private:
    PyObject* exc_;
};

}  // namespace tavrin
