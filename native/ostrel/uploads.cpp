// Uploads: in-memory data, one local file, a local directory tree.
#include "ostrel.hpp"

#include <utility>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;
using tavrin::truth;

Ref os_path() { return getattr(global(state().n.os.get()).get(), state().n.path.get()); }

Ref mime_type(PyObject* name) { return call(global(state().n.get_mimora.get()).get(), {name}); }

// The stream, length and content type of one _upload_flow value.
struct Payload {
    Ref content_type;
    Ref length;
    Ref stream;
    bool opened_file = false;  // the stream is a local file this call opened
};

// Bytes of the text of data (str() of anything but an exact str), UTF-8, strict.
Ref encoded_text(PyObject* data) {
    if (PyUnicode_CheckExact(data)) return require(PyUnicode_AsUTF8String(data));
    Ref text = require(PyObject_Str(data));
    return require(PyUnicode_AsUTF8String(text.get()));
}

// TavrinOstrel._upload_flow(self, bucket_name, object_name, data)
constexpr Signature<4> kUploadFlow{"_upload_flow", {"self", "bucket_name", "object_name", "data"}, 4};
Ref upload_flow(const Args<4>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* object_name = a[2];
    PyObject* data = a[3];
    Payload payload;
    if (truth(call_method(os_path().get(), s.n.isfile.get(), {data}))) {
        payload.content_type = mime_type(data);
        Ref info = call_method(global(s.n.os.get()).get(), s.n.stat.get(), {data});
        payload.length = getattr(info.get(), s.n.st_size.get());
        payload.stream = call(global(s.n.open.get()).get(), {data, s.read_binary.get()});
        payload.opened_file = true;
    } else {
        payload.content_type = mime_type(object_name);
        Ref io = global(s.n.io.get());
        if (PyBytes_Check(data)) {
            payload.length = require(PyLong_FromSsize_t(require(PyObject_Length(data))));
            payload.stream = call_method(io.get(), s.n.BytesIO.get(), {data});
        } else {
            try {
                Ref bytes = encoded_text(data);
                payload.length = require(PyLong_FromSsize_t(PyBytes_GET_SIZE(bytes.get())));
                payload.stream = call_method(io.get(), s.n.BytesIO.get(), {bytes.get()});
            } catch (const tavrin::PyErrOccurred&) {
                tavrin::PendingError error;
                if (!error.matches(PyExc_Exception)) error.reraise();
                warn(self, s.msg_bad_data.get());
                return Ref::borrow(Py_None);
            }
        }
    }
    try {
        call_method(engine(self).get(), s.n.put_object.get(),
                    {a[1], object_name, payload.stream.get(), payload.length.get(), payload.content_type.get()},
                    s.kw_put.get());
    } catch (const tavrin::PyErrOccurred&) {
        if (payload.opened_file) close_and_reraise(payload.stream.get());
        throw;
    }
    if (payload.opened_file) call_method(payload.stream.get(), s.n.close.get(), {});
    return Ref::borrow(Py_None);
}

// TavrinOstrel._upload_file(self, bucket_name, object_name, file_name, parallel=3)
constexpr Signature<5> kUploadFile{
    "_upload_file", {"self", "bucket_name", "object_name", "file_name", "parallel"}, 4};
Ref upload_file(const Args<5>& a) {
    State& s = state();
    PyObject* parallel = a.get_or(4, s.three.get());
    Ref content_type = mime_type(a[2]);
    Ref name = forward_slashes(a[2]);
    call_method(engine(a[0]).get(), s.n.fput_object.get(),
                {a[1], name.get(), a[3], content_type.get(), parallel}, s.kw_fput.get());
    return Ref::borrow(Py_None);
}

// The directories of the walk under way on this thread, outermost first, as
// (st_dev, st_ino) of os.stat (which follows links). The list lives in the
// thread-state dict, so nested calls share it whichever class they go
// through, and walks on other threads never see it.
Ref walk_path() {
    PyObject* dict = thread_dict();
    PyObject* key = state().walk_key.get();
    if (PyObject* found = PyDict_GetItemWithError(dict, key)) return Ref::borrow(found);
    if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
    Ref fresh = require(PyList_New(0));
    require(PyDict_SetItem(dict, key, fresh.get()));
    return fresh;
}

// (st_dev, st_ino) of the directory at `path`, or None where the file
// system reports no inode number (it would make every directory look alike)
// or os.stat fails: the walk goes on as it would without the comparison, and
// whatever stops it is met where the walk meets it.
Ref directory_identity(PyObject* path) {
    State& s = state();
    Ref info;
    try {
        info = call_method(global(s.n.os.get()).get(), s.n.stat.get(), {path});
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        if (!error.matches(PyExc_Exception)) error.reraise();
        return Ref::borrow(Py_None);
    }
    Ref inode = getattr(info.get(), s.n.st_ino.get());
    if (!truth(inode)) return Ref::borrow(Py_None);
    Ref device = getattr(info.get(), s.n.st_dev.get());
    return require(PyTuple_Pack(2, device.get(), inode.get()));
}

// One directory's place on the walk path: entered on construction, left
// (with every deeper entry) on destruction, also when the walk raises.
class WalkStep {
public:
    WalkStep(Ref path, const Ref& identity) : path_(std::move(path)), depth_(PyList_GET_SIZE(path_.get())) {
        require(PyList_Append(path_.get(), identity.get()));
    }
    WalkStep(const WalkStep&) = delete;
    WalkStep& operator=(const WalkStep&) = delete;
    ~WalkStep() {
        tavrin::PendingError pending;  // keep the walk's own exception, if any
        if (PyList_SetSlice(path_.get(), depth_, PY_SSIZE_T_MAX, nullptr) < 0) PyErr_Clear();
        pending.restore();
    }
    // True when the directory is already on the walk path: descending into
    // it again would repeat the walk without end.
    bool on_path(const Ref& identity) const {
        return identity.get() != Py_None && tavrin::contains(path_.get(), identity.get());
    }

private:
    Ref path_;
    Py_ssize_t depth_;
};

// TavrinOstrel._upload_dir(self, bucket_name, dir_path, parallel=3, base_dir=None)
constexpr Signature<5> kUploadDir{"_upload_dir", {"self", "bucket_name", "dir_path", "parallel", "base_dir"}, 3};
Ref upload_dir(const Args<5>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* dir_path = a[2];
    PyObject* parallel = a.get_or(3, s.three.get());
    Ref base_dir = Ref::borrow(a.get_or(4, Py_None));
    if (!truth(base_dir)) {
        Ref parts = call_method(forward_slashes(dir_path).get(), s.n.split.get(), {s.slash.get()});
        base_dir = require(PyObject_GetItem(parts.get(), s.last_index.get()));
    }
    Ref entries = call_method(global(s.n.os.get()).get(), s.n.listdir.get(), {dir_path});
    WalkStep step(walk_path(), directory_identity(dir_path));
    with_transfers(self, [&](Transfers& transfers) {
        tavrin::for_each(entries.get(), [&](Ref name) {
            Ref path = os_path();
            Ref local = call_method(path.get(), s.n.join.get(), {dir_path, name.get()});
            Ref object_name =
                forward_slashes(call_method(path.get(), s.n.join.get(), {base_dir.get(), name.get()}).get());
            if (truth(call_method(path.get(), s.n.isdir.get(), {local.get()}))) {
                if (step.on_path(directory_identity(local.get()))) {
                    Ref shown = call_method(global(s.n.os.get()).get(), s.n.fsdecode.get(), {local.get()});
                    warn_about(self, s.msg_link_cycle.get(), shown.get());
                    return;
                }
                call_method(self, s.n._upload_dir.get(), {bucket_name, local.get(), parallel, object_name.get()});
            } else {
                transfers.call(self, s.n._upload_file.get(), {bucket_name, object_name.get(), local.get(), parallel},
                               s.kw_parallel.get());
            }
        });
    });
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef upload_flow_def = tavrin::method_def<4, kUploadFlow, upload_flow>(
    "TavrinOstrel._upload_flow(self, bucket_name, object_name, data)");
PyMethodDef upload_file_def = tavrin::method_def<5, kUploadFile, upload_file>(
    "TavrinOstrel._upload_file(self, bucket_name, object_name, file_name, parallel=3)");
PyMethodDef upload_dir_def = tavrin::method_def<5, kUploadDir, upload_dir>(
    "TavrinOstrel._upload_dir(self, bucket_name, dir_path, parallel=3, base_dir=None)");

}  // namespace ostrel
