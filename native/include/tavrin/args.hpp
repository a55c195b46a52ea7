// Argument binding for METH_FASTCALL | METH_KEYWORDS functions.
//
// A Signature names the function and its parameters in order; the first
// `required` parameters have no default. For methods the instance is the
// first parameter ("self"), so every count in the messages includes it.
//
// Parameters from index `positional` on are keyword-only (by default none
// is).
//
// Checks, in this order, each raising TypeError with CPython's classic texts:
//   1. more positional arguments than parameters that take them;
//   2. a required parameter bound neither by position nor by keyword; the
//      count "given" is the number of parameters bound before it;
//   3. per keyword, in call order: a keyword that is not a string, one that
//      repeats a positional argument, one that names no parameter.
#pragma once

#include "tavrin/ref.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace tavrin {

namespace detail {

inline void raise_count_error(const char* func, bool has_defaults, bool too_many, Py_ssize_t expected,
                              Py_ssize_t given) {
    const char* how = !has_defaults ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how,
                 expected, expected == 1 ? "" : "s", given);
}

inline Py_ssize_t param_index(PyObject* key, const char* const* params, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Fills out[0..count) with borrowed pointers (nullptr for an optional
// parameter that was not given). Returns false with TypeError set.
inline bool bind(const char* func, const char* const* params, std::size_t count, std::size_t required,
                 std::size_t positional, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(count);
    const Py_ssize_t npositional = static_cast<Py_ssize_t>(positional < count ? positional : count);
    const bool has_defaults = required < static_cast<std::size_t>(npositional);
    if (nargs > npositional) {
        raise_count_error(func, has_defaults, true, npositional, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) continue;
        const Py_ssize_t i = param_index(key, params, count);
        if (i >= nargs) out[i] = args[nargs + k];
    }

    for (std::size_t i = static_cast<std::size_t>(nargs); i < required; ++i) {
        if (out[i] == nullptr) {
            raise_count_error(func, has_defaults, false, static_cast<Py_ssize_t>(required),
                              static_cast<Py_ssize_t>(i));
            return false;
        }
    }

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
            return false;
        }
        const Py_ssize_t i = param_index(key, params, count);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
            return false;
        }
        if (i < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
            return false;
        }
    }
    return true;
}

}  // namespace detail

template <std::size_t N>
struct Signature {
    const char* name;
    std::array<const char*, N> params;
    std::size_t required;
    std::size_t positional = N;  // the parameters after these are keyword-only
};

// The bound arguments of one call: borrowed from the caller for its duration.
template <std::size_t N>
class Args {
public:
    Args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        if (!detail::bind(sig.name, sig.params.data(), N, sig.required, sig.positional, args,
                          PyVectorcall_NARGS(nargsf), kwnames, values_.data())) {
            throw PyErrOccurred();
        }
    }
    // The argument for parameter i; only valid for required parameters.
    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
    // The argument for an optional parameter, or `fallback` when it was not given.
    PyObject* get_or(std::size_t i, PyObject* fallback) const noexcept {
        return values_[i] ? values_[i] : fallback;
    }

private:
    std::array<PyObject*, N> values_{};
};

// The vectorcall entry point of a function whose body is `Body(const Args<N>&)`.
template <std::size_t N, const Signature<N>& Sig, Ref (*Body)(const Args<N>&)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] { return Body(Args<N>(Sig, args, nargsf, kwnames)); });
}

// A PyMethodDef for such an entry point, with its docstring.
template <std::size_t N, const Signature<N>& Sig, Ref (*Body)(const Args<N>&)>
PyMethodDef method_def(const char* doc) {
    return PyMethodDef{Sig.name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<N, Sig, Body>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace tavrin
