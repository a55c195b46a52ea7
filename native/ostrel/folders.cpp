// The listing of a folder for people and tools: one level (objects and
// sub-folders), every object at every depth, or the objects a wildcard
// selects, as plain records; the total size and count of a folder; the
// record of one object.
#include "ostrel.hpp"

#include "filters.hpp"
#include "walk.hpp"

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The record of one listed entry: an object {"key", "size", "etag",
// "last_modified"}, a sub-folder {"prefix"}.
Ref listed_record(PyObject* object) {
    State& s = state();
    Ref name = getattr(object, s.n.object_name.get());
    Ref record = require(PyDict_New());
    if (tavrin::truth(getattr(object, s.n.is_dir.get()))) {
        require(PyDict_SetItem(record.get(), s.n.prefix.get(), name.get()));
        return record;
    }
    require(PyDict_SetItem(record.get(), s.n.key.get(), name.get()));
    for (PyObject* field : {s.n.size.get(), s.n.etag.get(), s.n.last_modified.get()}) {
        require(PyDict_SetItem(record.get(), field, getattr(object, field).get()));
    }
    return record;
}

// visit(object) for each object a listing gives: the folder `prefix` ("p"
// and "p/" name the folder p), or with `wildcard` the objects its pattern
// selects, from one recursive listing of its literal prefix.
template <typename Visit>
void for_each_listed(PyObject* self, PyObject* bucket_name, PyObject* prefix, bool recursive, bool wildcard,
                     Visit&& visit) {
    State& s = state();
    Filter filter;
    Ref folder = wildcard ? filter.select_wildcard(prefix) : folder_prefix(prefix);
    Ref listed = concat({folder.get(), filter.listing_head().get()});
    PyObject* deep = recursive || wildcard ? Py_True : Py_False;
    Ref listing = call_method(engine(self).get(), s.n.list_objects.get(), {bucket_name, listed.get(), deep},
                              s.kw_list_objects.get());
    const Py_ssize_t skip = PyUnicode_GetLength(folder.get());
    tavrin::for_each(listing.get(), [&](Ref object) {
        if (wildcard) {
            Ref name = getattr(object.get(), s.n.object_name.get());
            if (!PyUnicode_Check(name.get())) return;
            Ref relative = require(PyUnicode_Substring(name.get(), skip, PY_SSIZE_T_MAX));
            if (!filter.selects(code_points(relative.get()))) return;
        }
        visit(object.get());
    });
}

// TavrinOstrel._list_folder(self, bucket_name, prefix='', *, recursive=False, wildcard=False)
//
// The entries under the folder `prefix` ("p" and "p/" both name the folder
// p; "" the bucket's root), in listing order: one list_objects request,
// whose pages the client library fetches as the listing is read. An object
// is {"key", "size", "etag", "last_modified"} (a datetime, as listed), a
// sub-folder {"prefix"} ending in "/" (not recursive only). With
// `wildcard`, the objects that the prefix's pattern selects.
constexpr Signature<5> kListFolder{"_list_folder", {"self", "bucket_name", "prefix", "recursive", "wildcard"}, 2, 3};
Ref list_folder(const Args<5>& a) {
    Ref entries = require(PyList_New(0));
    for_each_listed(a[0], a[1], a.get_or(2, state().empty.get()), tavrin::truth(a.get_or(3, Py_False)),
                    tavrin::truth(a.get_or(4, Py_False)),
                    [&](PyObject* object) { require(PyList_Append(entries.get(), listed_record(object).get())); });
    return entries;
}

// TavrinOstrel._folder_usage(self, bucket_name, prefix='', *, wildcard=False)
//
// {"size": the total of the sizes, "count": the number of objects} of every
// object under the folder `prefix` at every depth (with `wildcard`, of
// those its pattern selects).
constexpr Signature<4> kFolderUsage{"_folder_usage", {"self", "bucket_name", "prefix", "wildcard"}, 2, 3};
Ref folder_usage(const Args<4>& a) {
    State& s = state();
    Ref total = require(PyLong_FromLong(0));
    long long count = 0;
    for_each_listed(a[0], a[1], a.get_or(2, s.empty.get()), true, tavrin::truth(a.get_or(3, Py_False)),
                    [&](PyObject* object) {
                        Ref size = getattr(object, s.n.size.get());
                        if (PyLong_Check(size.get())) total = require(PyNumber_Add(total.get(), size.get()));
                        ++count;
                    });
    Ref number = require(PyLong_FromLongLong(count));
    Ref record = require(PyDict_New());
    require(PyDict_SetItem(record.get(), s.n.size.get(), total.get()));
    require(PyDict_SetItem(record.get(), tavrin::interned("count").get(), number.get()));
    return record;
}

// TavrinOstrel._stat_object(self, bucket_name, object_name)
//
// {"key", "size", "etag", "content_type", "last_modified", "metadata"} of
// one object, from one stat_object request; metadata a dict of its headers.
constexpr Signature<3> kStatObject{"_stat_object", {"self", "bucket_name", "object_name"}, 3};
Ref stat_object(const Args<3>& a) {
    State& s = state();
    Ref stat = call_method(engine(a[0]).get(), s.n.stat_object.get(), {a[1], a[2]});
    Ref record = require(PyDict_New());
    require(PyDict_SetItem(record.get(), s.n.key.get(), a[2]));
    for (PyObject* field : {s.n.size.get(), s.n.etag.get(), s.n.content_type.get(), s.n.last_modified.get()}) {
        require(PyDict_SetItem(record.get(), field, getattr(stat.get(), field).get()));
    }
    Ref metadata = getattr(stat.get(), s.n.metadata.get());
    Ref plain = require(PyDict_New());
    if (metadata.get() != Py_None) require(PyDict_Update(plain.get(), metadata.get()));
    require(PyDict_SetItem(record.get(), s.n.metadata.get(), plain.get()));
    return record;
}

}  // namespace

PyMethodDef list_folder_def = tavrin::method_def<5, kListFolder, list_folder>(
    "TavrinOstrel._list_folder(self, bucket_name, prefix='', *, recursive=False, wildcard=False)");
PyMethodDef folder_usage_def = tavrin::method_def<4, kFolderUsage, folder_usage>(
    "TavrinOstrel._folder_usage(self, bucket_name, prefix='', *, wildcard=False)");
PyMethodDef stat_object_def = tavrin::method_def<3, kStatObject, stat_object>(
    "TavrinOstrel._stat_object(self, bucket_name, object_name)");

}  // namespace ostrel
