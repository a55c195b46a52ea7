// The listing of a folder for people and tools: one level (objects and
// sub-folders) or every object at every depth, as plain records.
#include "ostrel.hpp"

#include "walk.hpp"

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// TavrinOstrel._list_folder(self, bucket_name, prefix='', *, recursive=False)
//
// The entries under the folder `prefix` ("p" and "p/" both name the folder
// p; "" the bucket's root), in listing order: one list_objects request,
// whose pages the client library fetches as the listing is read. An object
// is {"key", "size", "etag", "last_modified"} (a datetime, as listed), a
// sub-folder {"prefix"} ending in "/" (not recursive only).
constexpr Signature<4> kListFolder{"_list_folder", {"self", "bucket_name", "prefix", "recursive"}, 2, 3};
Ref list_folder(const Args<4>& a) {
    State& s = state();
    Ref prefix = folder_prefix(a.get_or(2, s.empty.get()));
    PyObject* recursive = tavrin::truth(a.get_or(3, Py_False)) ? Py_True : Py_False;
    Ref listing = call_method(engine(a[0]).get(), s.n.list_objects.get(), {a[1], prefix.get(), recursive},
                              s.kw_list_objects.get());
    Ref entries = require(PyList_New(0));
    tavrin::for_each(listing.get(), [&](Ref object) {
        Ref name = getattr(object.get(), s.n.object_name.get());
        Ref record = require(PyDict_New());
        if (tavrin::truth(getattr(object.get(), s.n.is_dir.get()))) {
            require(PyDict_SetItem(record.get(), s.n.prefix.get(), name.get()));
        } else {
            require(PyDict_SetItem(record.get(), s.n.key.get(), name.get()));
            for (PyObject* field : {s.n.size.get(), s.n.etag.get(), s.n.last_modified.get()}) {
                require(PyDict_SetItem(record.get(), field, getattr(object.get(), field).get()));
            }
        }
        require(PyList_Append(entries.get(), record.get()));
    });
    return entries;
}

}  // namespace

PyMethodDef list_folder_def = tavrin::method_def<4, kListFolder, list_folder>(
    "TavrinOstrel._list_folder(self, bucket_name, prefix='', *, recursive=False)");

}  // namespace ostrel
