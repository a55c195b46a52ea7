// Loading rules shared by the package's extension modules.
//
// A module keeps its objects in process-wide storage, so it may live in one
// interpreter per process only:
//   - an import from a second interpreter fails with ImportError;
//   - a repeated import (also after the module left sys.modules) gets the
//     module object made the first time;
//   - executing the module definition on another module object fails with
//     RuntimeError;
//   - a failed initialisation is forgotten (the next import starts again)
//     and its exception carries a traceback entry "init <name>";
//   - after initialisation the module is also entered in sys.modules under
//     its bare name, unless that name is taken.
#pragma once

#include "tavrin/api.hpp"

#include <frameobject.h>

#include <cstdint>

namespace tavrin {

class ModuleGuard {
public:
    using InitFn = void (*)(PyObject* module);
    using ClearFn = void (*)();

    ModuleGuard(const char* name, InitFn init, ClearFn clear) noexcept : name_(name), init_(init), clear_(clear) {}
    ModuleGuard(const ModuleGuard&) = delete;
    ModuleGuard& operator=(const ModuleGuard&) = delete;

    // Py_mod_create
    PyObject* create(PyObject* spec) noexcept {
        const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) return nullptr;
        if (interpreter_ == -1) {
            interpreter_ = current;
        } else if (interpreter_ != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.");
            return nullptr;
        }
        if (module_ != nullptr) return Py_NewRef(module_);
        PyObject* name = PyObject_GetAttrString(spec, "name");
        if (name == nullptr) return nullptr;
        PyObject* module = PyModule_NewObject(name);
        Py_DECREF(name);
        return module;
    }

    // Py_mod_exec
    int exec(PyObject* module) noexcept {
        if (module_ != nullptr) {
            if (module_ == module) return 0;
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", name_);
            return -1;
        }
        module_ = Py_NewRef(module);
        const int rc = guarded_status([&] {
            init_(module);
            enter_bare_name(module);
        });
        if (rc < 0) {
            add_init_traceback(module);
            clear_();
            Py_CLEAR(module_);
        }
        return rc;
    }

    // m_free: the module object is gone, so is everything it kept.
    void release() noexcept {
        clear_();
        Py_CLEAR(module_);
    }

    PyObject* module() const noexcept { return module_; }

private:
    void enter_bare_name(PyObject* module) {
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        Ref key = text(name_);
        if (PyDict_GetItemWithError(modules, key.get()) == nullptr) {
            if (PyErr_Occurred()) throw PyErrOccurred();
            require(PyDict_SetItem(modules, key.get(), module));
        }
    }

    void add_init_traceback(PyObject* module) noexcept {
        PendingError pending;
        char func[128];
        PyOS_snprintf(func, sizeof func, "init %s", name_);
        PyCodeObject* code = PyCode_NewEmpty(name_, func, 0);
        PyObject* globals = PyModule_GetDict(module);
        PyFrameObject* frame =
            code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
        if (frame == nullptr) PyErr_Clear();  // keep the original error rather than this one
        pending.restore();
        if (frame != nullptr) PyTraceBack_Here(frame);
        Py_XDECREF(reinterpret_cast<PyObject*>(frame));
        Py_XDECREF(reinterpret_cast<PyObject*>(code));
    }

    const char* name_;
    InitFn init_;
    ClearFn clear_;
    std::int64_t interpreter_ = -1;
    PyObject* module_ = nullptr;  // strong; lives as long as the process
};

// The module definition slots of a module loaded under `Guard`.
template <ModuleGuard& Guard>
struct GuardedModule {
    static PyObject* create(PyObject* spec, PyModuleDef*) noexcept { return Guard.create(spec); }
    static int exec(PyObject* module) noexcept { return Guard.exec(module); }
    static void free(void*) noexcept { Guard.release(); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
#if PY_VERSION_HEX >= 0x030C0000
        // Declared supported so that our own check answers a second interpreter,
        // not CPython's generic refusal.
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
        {0, nullptr},
    };

    static PyModuleDef definition(const char* name, const char* doc) noexcept {
        return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, &free};
    }
};

}  // namespace tavrin
