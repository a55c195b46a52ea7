// mimora: the MIME type of a file or object name, from a fixed suffix table.
//
// get_mimora(data) looks up the last "."-separated segment of data (exact
// case, nothing trimmed) and returns the module's own constant string for
// its MIME type, or "application/octet-stream". The strings and the lookup
// table are made once when the module is executed and shared by all calls.
#include "tavrin/args.hpp"
#include "tavrin/module_guard.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string_view>

namespace {

using tavrin::Args;
using tavrin::Ref;
using tavrin::require;

#include "table.inc"

constexpr std::size_t kMimeCount = std::size(kMimeTypes);
constexpr std::size_t kMaxSuffix = 7;  // longest suffix in the table

// Objects the module makes (at exec unless noted) and keeps for the life of the process.
struct State {
    Ref mimes[kMimeCount];  // MIME type strings, indexed like kMimeTypes
    Ref fallback;           // "application/octet-stream"
    Ref table;              // dict: suffix -> MIME type string, for non-str names; made on first use
    Ref dot;                // "."
    Ref split;              // "split"
    Ref last;               // -1
};
State* state = nullptr;  // never destroyed at process exit: the interpreter is gone by then

// The MIME type string for an ASCII suffix, or nullptr when it has none.
PyObject* find_suffix(std::string_view suffix) noexcept {
    const auto* end = std::end(kSuffixes);
    const auto* it = std::lower_bound(std::begin(kSuffixes), end, suffix,
                                      [](const SuffixEntry& e, std::string_view s) { return e.suffix < s; });
    if (it == end || it->suffix != suffix) return nullptr;
    return state->mimes[it->mime].get();
}

// For an exact str: the type of the text after its last ".", found without
// calling split. Suffixes in the table are short ASCII strings, so a longer
// or non-ASCII segment cannot match one.
Ref lookup_text(PyObject* name) {
#if PY_VERSION_HEX < 0x030C0000
    require(PyUnicode_READY(name));
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    const Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, length, -1);
    if (dot == -2) throw tavrin::PyErrOccurred();
    const Py_ssize_t start = dot + 1;  // 0 when there is no dot
    const Py_ssize_t size = length - start;
    PyObject* found = nullptr;
    if (size > 0 && static_cast<std::size_t>(size) <= kMaxSuffix) {
        char buffer[kMaxSuffix];
        const int kind = PyUnicode_KIND(name);
        const void* data = PyUnicode_DATA(name);
        bool ascii = true;
        for (Py_ssize_t i = 0; i < size && ascii; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, start + i);
            ascii = c < 0x80;
            buffer[i] = static_cast<char>(c);
        }
        if (ascii) found = find_suffix(std::string_view(buffer, static_cast<std::size_t>(size)));
    }
    return Ref::borrow(found ? found : state->fallback.get());
}

// The suffix table as a dict. Only names that are not exact str need it, so
// it is made when the first such name is looked up rather than at import.
PyObject* suffix_table() {
    if (!state->table) {
        Ref table = require(PyDict_New());
        for (const SuffixEntry& entry : kSuffixes) {
            Ref key = tavrin::text(entry.suffix);
            require(PyDict_SetItem(table.get(), key.get(), state->mimes[entry.mime].get()));
        }
        state->table = table;
    }
    return state->table.get();
}

// Any other object: data.split(".")[-1], looked up by ordinary key equality.
Ref lookup_object(PyObject* data) {
    Ref parts = tavrin::call_method(data, state->split.get(), {state->dot.get()});
    Ref suffix = require(PyObject_GetItem(parts.get(), state->last.get()));
    PyObject* found = PyDict_GetItemWithError(suffix_table(), suffix.get());  // borrowed
    if (found == nullptr && PyErr_Occurred()) throw tavrin::PyErrOccurred();
    return Ref::borrow(found ? found : state->fallback.get());
}

constexpr tavrin::Signature<1> kGetMimora{"get_mimora", {"data"}, 1};

Ref get_mimora(const Args<1>& args) {
    PyObject* data = args[0];
    return PyUnicode_CheckExact(data) ? lookup_text(data) : lookup_object(data);
}

PyMethodDef get_mimora_def = tavrin::method_def<1, kGetMimora, get_mimora>("get_mimora(data)");

void init_module(PyObject* module) {
    state = new State();
    // Plain (not interned) strings: interning hundreds of new texts can grow
    // the interpreter's table of interned strings, which costs more than the
    // rest of the import.
    for (std::size_t i = 0; i < kMimeCount; ++i) state->mimes[i] = tavrin::text(kMimeTypes[i]);
    state->fallback = tavrin::text("application/octet-stream");
    state->dot = tavrin::interned(".");
    state->split = tavrin::interned("split");
    state->last = require(PyLong_FromLong(-1));
    Ref module_name = tavrin::text("mimora");
    Ref function = require(PyCFunction_NewEx(&get_mimora_def, module, module_name.get()));
    require(PyModule_AddObjectRef(module, "get_mimora", function.get()));
}

void clear_state() {
    delete state;
    state = nullptr;
}

tavrin::ModuleGuard guard("mimora", init_module, clear_state);

PyModuleDef module_def = tavrin::GuardedModule<guard>::definition(
    "mimora", "MIME types of file and object names, looked up by their last suffix.");

}  // namespace

PyMODINIT_FUNC PyInit_mimora(void) { return PyModuleDef_Init(&module_def); }
