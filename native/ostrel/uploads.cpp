// Uploads: in-memory data, one local file, a local directory tree.
#include "ostrel.hpp"
#include "config.hpp"
#include "digests.hpp"
#include "multipart.hpp"
#include "progress.hpp"
#include "transfers.hpp"
#include "unchanged.hpp"
#include "walk.hpp"

#include <memory>
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
//
// With progress, the client library's call carries a progress object. With
// `workers` of 2 or more, a big file goes as the parts of one multipart
// upload on that many threads instead (upload_in_parts), and `parallel`
// does not apply to it.
constexpr Signature<5> kUploadFile{
    "_upload_file", {"self", "bucket_name", "object_name", "file_name", "parallel"}, 4};
Ref upload_file(const Args<5>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* parallel = a.get_or(4, s.three.get());
    ProgressCall reporting(self, s.n.upload_file.get(), a[2], 1);
    with_progress(reporting, [&] {
        Ref content_type = mime_type(a[2]);
        Ref name = forward_slashes(a[2]);
        const Progress& progress = reporting.progress();
        if (configured_workers(self) >= 2 &&
            upload_in_parts(self, a[1], name.get(), a[3], content_type.get(), progress)) {
            if (reporting.owner()) progress.file_done(name.get());
            return;
        }
        SentFile sending(self, a[3]);
        Ref written;
        if (!progress) {
            written = call_method(engine(self).get(), s.n.fput_object.get(),
                                  {a[1], name.get(), a[3], content_type.get(), parallel}, s.kw_fput.get());
        } else {
            Ref hook = progress.hook(name.get());
            written = call_method(engine(self).get(), s.n.fput_object.get(),
                                  {a[1], name.get(), a[3], content_type.get(), parallel, hook.get()},
                                  s.kw_fput_progress.get());
        }
        sending.sent(tavrin::optional_getattr(written.get(), s.n.etag.get()).get());
        if (!Transfers::on_transfer_thread()) Digests::flush(self);
        if (progress && reporting.owner()) progress.file_done(name.get());
    });
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

// Files and bytes under `dir_path` (listed as `entries`) as the walk will
// meet them: the same listing, the same test for directories (following
// links), the same stop at a link back into `on_path` (the identities of the
// directories the scan is inside); sizes by os.stat. A directory that cannot
// be listed counts as empty and a file whose size cannot be read as 0
// bytes: the walk meets those errors where it meets them.
struct Totals {
    long long files = 0;
    long long bytes = 0;
};

void scan(PyObject* dir_path, PyObject* entries, PyObject* on_path, Totals& totals) {
    State& s = state();
    tavrin::for_each(entries, [&](Ref name) {
        Ref os = global(s.n.os.get());
        Ref path = os_path();
        Ref local = call_method(path.get(), s.n.join.get(), {dir_path, name.get()});
        try {
            if (truth(call_method(path.get(), s.n.isdir.get(), {local.get()}))) {
                Ref identity = directory_identity(local.get());
                if (identity.get() != Py_None && tavrin::contains(on_path, identity.get())) return;
                Ref inner = call_method(os.get(), s.n.listdir.get(), {local.get()});
                require(PyList_Append(on_path, identity.get()));
                scan(local.get(), inner.get(), on_path, totals);
                require(PySequence_DelItem(on_path, -1));
            } else if (!dangling_link(local.get())) {
                ++totals.files;
                Ref info = call_method(os.get(), s.n.stat.get(), {local.get()});
                totals.bytes += tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get());
            }
        } catch (const tavrin::PyErrOccurred&) {
            tavrin::PendingError error;
            if (!error.matches(PyExc_OSError)) error.reraise();
        }
    });
}

// True, with the warning, when `local` is a link to nothing: the walk leaves it out.
bool skipped_link(PyObject* self, PyObject* local) {
    if (!dangling_link(local)) return false;
    State& s = state();
    Ref shown = call_method(global(s.n.os.get()).get(), s.n.fsdecode.get(), {local});
    warn_about(self, s.msg_dangling_link.get(), shown.get());
    return true;
}

// TavrinOstrel._upload_dir(self, bucket_name, dir_path, parallel=3, base_dir=None)
//
// With progress, a top-level call first scans the tree for its totals.
// With skip_unchanged, each directory the walk enters is listed in the
// bucket once, and a file whose object holds its content is left alone.
// On a pool of transfer threads, a big file goes in parts on the same pool
// unless _upload_file is overridden (file_upload_in_parts).
constexpr Signature<5> kUploadDir{"_upload_dir", {"self", "bucket_name", "dir_path", "parallel", "base_dir"}, 3};
Ref upload_dir(const Args<5>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* dir_path = a[2];
    PyObject* parallel = a.get_or(3, s.three.get());
    ProgressCall reporting(self, s.n.upload_dir.get(), dir_path, 0);
    const Progress& progress = reporting.progress();
    with_progress(reporting, [&] {
        Ref base_dir = Ref::borrow(a.get_or(4, Py_None));
        if (!truth(base_dir)) {
            Ref parts = call_method(forward_slashes(dir_path).get(), s.n.split.get(), {s.slash.get()});
            base_dir = require(PyObject_GetItem(parts.get(), s.last_index.get()));
        }
        Ref entries = call_method(global(s.n.os.get()).get(), s.n.listdir.get(), {dir_path});
        Ref identity = directory_identity(dir_path);
        WalkStep step(walk_path(), identity);
        if (reporting.owner()) {
            Totals totals;
            Ref on_path = require(PyList_New(0));
            require(PyList_Append(on_path.get(), identity.get()));
            scan(dir_path, entries.get(), on_path.get(), totals);
            reporting.begin(totals.files, totals.bytes);
        }
        Ref listed;
        if (configured_skip_unchanged(self)) {
            Ref prefix = call_method(os_path().get(), s.n.join.get(), {base_dir.get(), s.empty.get()});
            listed = listed_objects(self, bucket_name, forward_slashes(prefix.get()).get());
        }
        with_transfers(self, [&](Transfers& transfers) {
            const bool own_upload =
                transfers.pooled() &&
                own_method(self, getattr(self, s.n._upload_file.get()).get(), s.upload_file_function);
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
                    return;
                }
                if (skipped_link(self, local.get())) return;
                if (progress) progress.file_met();
                ObjectTransfer object{s.n._upload_file.get(), Ref::borrow(bucket_name), object_name, local,
                                      Ref::borrow(parallel), Ref(), Ref()};
                if (listed) {
                    if (PyObject* found = PyDict_GetItemWithError(listed.get(), object_name.get())) {
                        object.size = Ref::borrow(PyTuple_GET_ITEM(found, 0));
                        object.etag = Ref::borrow(PyTuple_GET_ITEM(found, 1));
                    } else if (PyErr_Occurred()) {
                        throw tavrin::PyErrOccurred();
                    }
                }
                std::unique_ptr<Task> direct;
                if (own_upload) direct = file_upload_in_parts(self, bucket_name, object_name.get(), local.get(), progress);
                transfer_object(transfers, self, progress, std::move(object), std::move(direct));
            });
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
