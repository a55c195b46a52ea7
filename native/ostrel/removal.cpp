// Removal of one or many objects, and time-limited download URLs.
#include "removal.hpp"

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// TavrinOstrel._remove_object(self, bucket_name, object_name)
constexpr Signature<3> kRemoveObject{"_remove_object", {"self", "bucket_name", "object_name"}, 3};
Ref remove_object(const Args<3>& a) {
    call_method(engine(a[0]).get(), state().n.remove_object.get(), {a[1], a[2]});
    return Ref::borrow(Py_None);
}

// TavrinOstrel._remove_objects(self, bucket_name, object_list)
constexpr Signature<3> kRemoveObjects{"_remove_objects", {"self", "bucket_name", "object_list"}, 3};
Ref remove_objects(const Args<3>& a) {
    remove_batch(a[0], a[1], a[2]);
    return Ref::borrow(Py_None);
}

// TavrinOstrel._get_url(self, bucket, object_name, days=7)
constexpr Signature<4> kGetUrl{"_get_url", {"self", "bucket", "object_name", "days"}, 3};
Ref get_url(const Args<4>& a) {
    State& s = state();
    PyObject* days = a.get_or(3, s.seven.get());
    Ref presign = getattr(engine(a[0]).get(), s.n.presigned_get_object.get());
    Ref expires = call(global(s.n.timedelta.get()).get(), {days}, s.kw_days.get());
    return call(presign.get(), {a[1], a[2], expires.get()}, s.kw_expires.get());
}

}  // namespace

Ref remove_batch(PyObject* self, PyObject* bucket_name, PyObject* names) {
    State& s = state();
    // The whole request list is built before anything is sent.
    Ref requests = require(PyList_New(0));
    tavrin::for_each(names, [&](Ref name) {
        Ref request = call(global(s.n.DeleteObject.get()).get(), {name.get()});
        require(PyList_Append(requests.get(), request.get()));
    });
    Ref failed = require(PySet_New(nullptr));
    Ref request_iterator = require(PyObject_GetIter(requests.get()));
    Ref result = call_method(engine(self).get(), s.n.remove_objects.get(), {bucket_name, request_iterator.get()});
    // The removal is lazy: nothing is sent until its result is iterated.
    tavrin::for_each(result.get(), [&](Ref error) {
        warn(self, error.get());
        Ref name = tavrin::optional_getattr(error.get(), s.n.name.get());
        if (name && PyUnicode_Check(name.get())) require(PySet_Add(failed.get(), name.get()));
    });
    return failed;
}

PyMethodDef remove_object_def = tavrin::method_def<3, kRemoveObject, remove_object>(
    "TavrinOstrel._remove_object(self, bucket_name, object_name)");
PyMethodDef remove_objects_def = tavrin::method_def<3, kRemoveObjects, remove_objects>(
    "TavrinOstrel._remove_objects(self, bucket_name, object_list)");
PyMethodDef get_url_def =
    tavrin::method_def<4, kGetUrl, get_url>("TavrinOstrel._get_url(self, bucket, object_name, days=7)");

}  // namespace ostrel
