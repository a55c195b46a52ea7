// Owning references to Python objects and the "a Python error is set" exception.
//
// Ref owns one strong reference (or none). Ownership is chosen by name when a
// Ref is made from a raw pointer: Ref::steal takes over a new reference,
// Ref::borrow adds one to a borrowed pointer. There is no implicit conversion
// to PyObject*; get() lends the pointer, release() gives the reference away.
//
// Code that calls the C API throws PyErrOccurred when a call fails; the
// entry points that CPython calls catch it (see guarded()) so no C++
// exception ever unwinds through the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace tavrin {

// Thrown when a Python exception has been set and the current call must fail.
struct PyErrOccurred final : std::exception {
    const char* what() const noexcept override { return "a Python exception is set"; }
};

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(const Ref& other) noexcept {
        Py_XINCREF(other.p_);  // before releasing ours: other may be owned by our object
        PyObject* old = p_;
        p_ = other.p_;
        Py_XDECREF(old);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from a C-API call, or PyErrOccurred when it returned NULL.
inline Ref require(PyObject* p) {
    if (p == nullptr) throw PyErrOccurred();
    return Ref::steal(p);
}

// A C-API status (-1 means failure); returns the status otherwise.
inline int require(int rc) {
    if (rc < 0) throw PyErrOccurred();
    return rc;
}

// Runs the body of a function that CPython calls; converts C++ failures into
// a NULL result with a Python exception set.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

// Same for functions that report with an int status (module exec slots).
template <typename Body>
int guarded_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return -1;
}

}  // namespace tavrin
