// Buckets (create, remove, list, policy) and the listing of a bucket's objects.
#include "ostrel.hpp"

#include <datetime.h>

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;
using tavrin::truth;

// TavrinOstrel._create_bucket(self, bucket_name, location=u'cn-north-1', object_lock=False)
constexpr Signature<4> kCreateBucket{"_create_bucket", {"self", "bucket_name", "location", "object_lock"}, 2};
Ref create_bucket(const Args<4>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* location = a.get_or(2, s.default_location.get());
    PyObject* object_lock = a.get_or(3, Py_False);
    if (truth(call_method(engine(self).get(), s.n.bucket_exists.get(), {a[1]}))) {
        warn(self, s.msg_bucket_exists.get());
        return Ref::borrow(Py_False);
    }
    call_method(engine(self).get(), s.n.make_bucket.get(), {a[1], location, object_lock}, s.kw_make_bucket.get());
    return Ref::borrow(Py_True);
}

// TavrinOstrel._remove_bucket(self, bucket_name)
constexpr Signature<2> kRemoveBucket{"_remove_bucket", {"self", "bucket_name"}, 2};
Ref remove_bucket(const Args<2>& a) {
    State& s = state();
    PyObject* self = a[0];
    if (truth(call_method(engine(self).get(), s.n.bucket_exists.get(), {a[1]}))) {
        call_method(engine(self).get(), s.n.remove_bucket.get(), {a[1]});
        return Ref::borrow(Py_True);
    }
    warn(self, s.msg_bucket_missing.get());
    return Ref::borrow(Py_False);
}

// TavrinOstrel._bucket_list(self)
constexpr Signature<1> kBucketList{"_bucket_list", {"self"}, 1};
Ref bucket_list(const Args<1>& a) { return call_method(engine(a[0]).get(), state().n.list_buckets.get(), {}); }

// The text value.strftime("%Y-%m-%d %H:%M:%S.%f") gives, written here
// without the call for the values listings deliver: exact datetimes whose
// tzinfo is absent or a fixed-offset timezone (their strftime ignores the
// zone for this format and cannot fail) from year 1000 on. Earlier years are
// left to strftime, because how many digits the platform writes for them
// varies; subclasses and every other value go through their own strftime.
Ref modification_text(PyObject* value) {
    State& s = state();
    auto exactly = [](PyObject* obj, const Ref& type) {
        return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(type.get());
    };
    if (exactly(value, s.datetime_type)) {
        PyObject* zone = PyDateTime_DATE_GET_TZINFO(value);  // borrowed
        if (PyDateTime_GET_YEAR(value) >= 1000 && (zone == Py_None || exactly(zone, s.timezone_type))) {
            constexpr Py_ssize_t kLength = 26;  // "YYYY-MM-DD HH:MM:SS.ffffff"
            Ref text = require(PyUnicode_New(kLength, 127));
            Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
            auto put = [&out](int number, int width, char after) {
                for (int i = width - 1; i >= 0; --i, number /= 10) out[i] = static_cast<Py_UCS1>('0' + number % 10);
                out += width;
                if (after != '\0') *out++ = static_cast<Py_UCS1>(after);
            };
            put(PyDateTime_GET_YEAR(value), 4, '-');
            put(PyDateTime_GET_MONTH(value), 2, '-');
            put(PyDateTime_GET_DAY(value), 2, ' ');
            put(PyDateTime_DATE_GET_HOUR(value), 2, ':');
            put(PyDateTime_DATE_GET_MINUTE(value), 2, ':');
            put(PyDateTime_DATE_GET_SECOND(value), 2, '.');
            put(PyDateTime_DATE_GET_MICROSECOND(value), 6, '\0');
            return text;
        }
    }
    return call_method(value, s.n.strftime.get(), {s.time_format.get()});
}

// TavrinOstrel._bucket_list_files(self, bucket_name, prefix=u'')
constexpr Signature<3> kBucketListFiles{"_bucket_list_files", {"self", "bucket_name", "prefix"}, 2};
Ref bucket_list_files(const Args<3>& a) {
    State& s = state();
    PyObject* prefix = a.get_or(2, s.empty.get());
    Ref listing = call_method(engine(a[0]).get(), s.n.list_objects.get(), {a[1], prefix, Py_True},
                              s.kw_list_objects.get());
    Ref files = require(PyList_New(0));
    tavrin::for_each(listing.get(), [&](Ref entry) {
        // A copy of the six-key template keeps the key order and is sized
        // for it; setting its values only replaces them.
        Ref record = require(PyDict_Copy(s.record_template.get()));
        auto put = [&](PyObject* key, const Ref& value) { require(PyDict_SetItem(record.get(), key, value.get())); };
        put(s.n.bucket_name.get(), getattr(entry.get(), s.n.bucket_name.get()));
        put(s.n.object_name.get(), getattr(entry.get(), s.n.object_name.get()));
        put(s.n.last_modified.get(), modification_text(getattr(entry.get(), s.n.last_modified.get()).get()));
        put(s.n.etag.get(), getattr(entry.get(), s.n.etag.get()));
        put(s.n.size.get(), getattr(entry.get(), s.n.size.get()));
        put(s.n.mimora.get(), getattr(entry.get(), s.n.content_type.get()));
        require(PyList_Append(files.get(), record.get()));
    });
    return files;
}

// TavrinOstrel._bucket_policy(self, bucket_name)
constexpr Signature<2> kBucketPolicy{"_bucket_policy", {"self", "bucket_name"}, 2};
Ref bucket_policy(const Args<2>& a) {
    State& s = state();
    PyObject* self = a[0];
    try {
        return call_method(engine(self).get(), s.n.get_bucket_policy.get(), {a[1]});
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        Ref s3_error = global(s.n.S3Error.get());
        if (!error.matches(s3_error.get())) error.reraise();
    }
    warn(self, s.msg_no_policy.get());
    return Ref::borrow(Py_None);
}

}  // namespace

void prepare_listing(State& s) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw tavrin::PyErrOccurred();
    s.datetime_type = Ref::borrow(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType));
    s.timezone_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(PyDateTimeAPI->TimeZone_UTC)));
    s.record_template = require(PyDict_New());
    for (PyObject* key : {s.n.bucket_name.get(), s.n.object_name.get(), s.n.last_modified.get(), s.n.etag.get(),
                          s.n.size.get(), s.n.mimora.get()}) {
        require(PyDict_SetItem(s.record_template.get(), key, Py_None));
    }
}

PyMethodDef create_bucket_def = tavrin::method_def<4, kCreateBucket, create_bucket>(
    "TavrinOstrel._create_bucket(self, bucket_name, location=u'cn-north-1', object_lock=False)");
PyMethodDef remove_bucket_def =
    tavrin::method_def<2, kRemoveBucket, remove_bucket>("TavrinOstrel._remove_bucket(self, bucket_name)");
PyMethodDef bucket_list_def = tavrin::method_def<1, kBucketList, bucket_list>("TavrinOstrel._bucket_list(self)");
PyMethodDef bucket_list_files_def = tavrin::method_def<3, kBucketListFiles, bucket_list_files>(
    "TavrinOstrel._bucket_list_files(self, bucket_name, prefix=u'')");
PyMethodDef bucket_policy_def =
    tavrin::method_def<2, kBucketPolicy, bucket_policy>("TavrinOstrel._bucket_policy(self, bucket_name)");

}  // namespace ostrel
