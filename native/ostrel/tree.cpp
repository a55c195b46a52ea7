// One recursive listing as a tree of folders: the folders are derived from
// the object names ("/"-separated), never listed one by one.
#include "tree.hpp"

#include "walk.hpp"

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The texts of one call's records.
struct Words {
    Ref file = require(PyUnicode_InternFromString("file"));
    Ref directory = require(PyUnicode_InternFromString("directory"));
    Ref last_modified = require(PyUnicode_InternFromString("LastModified"));
    Ref zero = require(PyLong_FromLong(0));
};

Ref joined(PyObject* folder, PyObject* name) {
    Ref with_slash = require(PyUnicode_Concat(folder, state().slash.get()));
    return require(PyUnicode_Concat(with_slash.get(), name));
}

// The (folders, files) pair of `folder`, made empty and added to `tree`
// when it is not there yet; `made` tells which.
Ref folder_pair(PyObject* tree, PyObject* folder, bool& made) {
    PyObject* found = PyDict_GetItemWithError(tree, folder);  // borrowed
    made = found == nullptr;
    if (!made) return Ref::borrow(found);
    if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
    Ref folders = require(PyDict_New());
    Ref files = require(PyDict_New());
    Ref pair = require(PyTuple_Pack(2, folders.get(), files.get()));
    require(PyDict_SetItem(tree, folder, pair.get()));
    return pair;
}

// TavrinOstrel._folder_tree(self, bucket_name, prefix='', root='')
//
// Every folder under the folder `prefix` ("p" and "p/" both name p; "" the
// bucket's root) from one recursive list_objects, as {folder: (folders,
// files)}. A folder is named `root` for `prefix` itself, else `root`, "/"
// and its path below `prefix`; `folders` maps the names of its sub-folders
// to {"name", "size": 0, "type": "directory"}, `files` the names of its
// objects to {"name", "size", "type": "file", "ETag", "LastModified"} (the
// listing's values). A marker object (a name ending in "/") is its folders
// and no file; a name with an empty part ("a//b") makes the folders before
// that part and nothing else. {} when nothing is under `prefix`.
constexpr Signature<4> kFolderTree{"_folder_tree", {"self", "bucket_name", "prefix", "root"}, 2};
Ref folder_tree(const Args<4>& a) {
    State& s = state();
    Ref prefix = folder_prefix(a.get_or(2, s.empty.get()));
    PyObject* root = a.get_or(3, s.empty.get());
    if (!PyUnicode_Check(root)) {
        PyErr_Format(PyExc_TypeError, "the root must be a str, not %.200s", Py_TYPE(root)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    const Words words;
    // A copy of the template keeps the key order and is sized for it.
    Ref file_template = require(PyDict_New());
    for (PyObject* key : {s.n.name.get(), s.n.size.get(), s.n.type.get(), s.etag_header.get(),
                          words.last_modified.get()}) {
        require(PyDict_SetItem(file_template.get(), key, Py_None));
    }
    require(PyDict_SetItem(file_template.get(), s.n.type.get(), words.file.get()));

    Ref listing = call_method(engine(a[0]).get(), s.n.list_objects.get(), {a[1], prefix.get(), Py_True},
                              s.kw_list_objects.get());
    const Py_ssize_t skip = PyUnicode_GetLength(prefix.get());
    Ref tree = require(PyDict_New());
    tavrin::for_each(listing.get(), [&](Ref entry) {
        bool made = false;
        Ref parent_pair = folder_pair(tree.get(), root, made);
        Ref name = getattr(entry.get(), s.n.object_name.get());
        if (!PyUnicode_Check(name.get())) return;
        Ref relative = require(PyUnicode_Substring(name.get(), skip, PY_SSIZE_T_MAX));
        Ref parts = require(PyUnicode_Split(relative.get(), s.slash.get(), -1));
        const Py_ssize_t count = PyList_GET_SIZE(parts.get());
        Ref parent = Ref::borrow(root);
        for (Py_ssize_t i = 0; i + 1 < count; ++i) {
            PyObject* part = PyList_GET_ITEM(parts.get(), i);  // borrowed
            if (PyUnicode_GET_LENGTH(part) == 0) return;       // no folder of an empty name
            Ref folder = joined(parent.get(), part);
            Ref pair = folder_pair(tree.get(), folder.get(), made);
            if (made) {
                Ref record = require(PyDict_New());
                require(PyDict_SetItem(record.get(), s.n.name.get(), folder.get()));
                require(PyDict_SetItem(record.get(), s.n.size.get(), words.zero.get()));
                require(PyDict_SetItem(record.get(), s.n.type.get(), words.directory.get()));
                require(PyDict_SetItem(PyTuple_GET_ITEM(parent_pair.get(), 0), part, record.get()));
            }
            parent = std::move(folder);
            parent_pair = std::move(pair);
        }
        PyObject* last = PyList_GET_ITEM(parts.get(), count - 1);  // borrowed
        if (PyUnicode_GET_LENGTH(last) == 0) return;  // a marker: its folder, not a file
        Ref record = require(PyDict_Copy(file_template.get()));
        require(PyDict_SetItem(record.get(), s.n.name.get(), joined(parent.get(), last).get()));
        require(PyDict_SetItem(record.get(), s.n.size.get(), getattr(entry.get(), s.n.size.get()).get()));
        require(PyDict_SetItem(record.get(), s.etag_header.get(), getattr(entry.get(), s.n.etag.get()).get()));
        require(PyDict_SetItem(record.get(), words.last_modified.get(),
                               getattr(entry.get(), s.n.last_modified.get()).get()));
        require(PyDict_SetItem(PyTuple_GET_ITEM(parent_pair.get(), 1), last, record.get()));
    });
    return tree;
}

}  // namespace

PyMethodDef folder_tree_def = tavrin::method_def<4, kFolderTree, folder_tree>(
    "TavrinOstrel._folder_tree(self, bucket_name, prefix='', root='')");

}  // namespace ostrel
