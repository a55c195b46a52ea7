// Many objects at once: each (source, target) pair of one call is a task of
// the client's transfer pool (transfers.hpp), so at most `workers` requests
// are under way, and the results come back in the order of the pairs.
#include "batch.hpp"

#include "downloads.hpp"
#include "progress.hpp"
#include "ranges.hpp"
#include "transfers.hpp"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

enum class Action { kDownload, kUpload, kCopy, kRead, kSize, kFetch };

constexpr const char* kActions[] = {"download", "upload", "copy", "read", "size", "fetch"};

Action action_from(PyObject* value) {
    const char* name = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (name == nullptr && PyErr_Occurred()) throw tavrin::PyErrOccurred();
    for (std::size_t i = 0; name != nullptr && i < sizeof kActions / sizeof *kActions; ++i) {
        if (std::strcmp(name, kActions[i]) == 0) return static_cast<Action>(i);
    }
    PyErr_Format(PyExc_ValueError, "action must be 'download', 'fetch', 'upload', 'copy', 'read' or 'size', not %R",
                 value);
    throw tavrin::PyErrOccurred();
}

// (bucket, key) of an object's path "bucket/key"; ValueError unless both are there.
std::pair<Ref, Ref> object_of(PyObject* path) {
    if (!PyUnicode_Check(path)) {
        PyErr_Format(PyExc_TypeError, "an object is named 'bucket/key', not %.200s", Py_TYPE(path)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    const Py_ssize_t length = PyUnicode_GetLength(path);
    const Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, 1);
    if (slash == -2) throw tavrin::PyErrOccurred();
    if (slash <= 0 || slash == length - 1) {
        PyErr_Format(PyExc_ValueError, "an object is named 'bucket/key', not %R", path);
        throw tavrin::PyErrOccurred();
    }
    return {require(PyUnicode_Substring(path, 0, slash)), require(PyUnicode_Substring(path, slash + 1, length))};
}

// What the pairs of one call share.
struct Batch {
    Ref self;
    Action action;
    Ref results;  // a list, one entry per pair
    Ref report;   // called with a pair's index once it is done; empty: none
    bool return_exceptions;
};

// True when the exception being raised is the client library's S3Error
// with code InvalidRange (a range at or past the object's end); it stays raised.
bool invalid_range_raised() {
    State& s = state();
    Ref raised = tavrin::PendingError().take();
    bool match = false;
    try {
        Ref s3_error = global(s.n.S3Error.get());
        if (PyErr_GivenExceptionMatches(raised.get(), s3_error.get())) {
            Ref code = tavrin::optional_getattr(raised.get(), s.n.code.get());
            match = code && PyUnicode_Check(code.get()) &&
                    PyUnicode_CompareWithASCIIString(code.get(), "InvalidRange") == 0;
        }
    } catch (const tavrin::PyErrOccurred&) {
        PyErr_Clear();  // the request's own error stands
    }
    tavrin::PendingError(std::move(raised)).restore();
    return match;
}

// The bytes [start, end) of an object by one ranged request (`range` is
// (start, end), end None: to the object's end); b"" for an empty range or
// one at or past the object's end.
Ref read_range(PyObject* self, PyObject* bucket, PyObject* key, PyObject* range) {
    State& s = state();
    PyObject *start = nullptr, *end = nullptr;
    if (!PyTuple_Check(range) || !PyArg_ParseTuple(range, "OO", &start, &end)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "a range is a tuple (start, end)");
        throw tavrin::PyErrOccurred();
    }
    const long long first = start == Py_None ? 0 : tavrin::as_long_long(start);
    const long long last = end == Py_None ? -1 : tavrin::as_long_long(end);
    if (first < 0 || (end != Py_None && last < 0)) {
        PyErr_SetString(PyExc_ValueError, "a range's start and end are offsets from 0 (end None: to the end)");
        throw tavrin::PyErrOccurred();
    }
    if (end != Py_None && last <= first) return require(PyBytes_FromStringAndSize(nullptr, 0));
    Ref offset = require(PyLong_FromLongLong(first));
    Ref length = require(PyLong_FromLongLong(end == Py_None ? 0 : last - first));
    Ref response;
    try {
        response = call_method(engine(self).get(), s.n.get_object.get(),
                               {bucket, key, offset.get(), length.get(), Py_None}, s.kw_range.get());
    } catch (const tavrin::PyErrOccurred&) {
        if (!invalid_range_raised()) throw;
        PyErr_Clear();
        return require(PyBytes_FromStringAndSize(nullptr, 0));
    }
    Ref body;
    try {
        body = call_method(response.get(), s.n.read.get(), {});
    } catch (const tavrin::PyErrOccurred&) {
        release_response(response.get());
        throw;
    }
    release_response(response.get());
    return body;
}

// The whole object's bytes, checked as _download_stream checks them.
Ref read_whole(PyObject* self, PyObject* bucket, PyObject* key) {
    State& s = state();
    Ref buffer = call_method(global(s.n.io.get()).get(), s.n.BytesIO.get(), {});
    call_method(self, s.n._download_stream.get(), {bucket, key, buffer.get()});
    return call_method(buffer.get(), s.n.getvalue.get(), {});
}

// The object written to the local file `target` by one checked request
// (_download_stream) into a temporary file beside it, then moved onto it:
// its folder is made, and a failure leaves no file behind. A folder as the
// target is refused with ValueError, as the client library refuses it.
void fetch_into(PyObject* self, PyObject* bucket, PyObject* key, PyObject* target) {
    State& s = state();
    Ref os = global(s.n.os.get());
    Ref path_module = getattr(os.get(), s.n.path.get());
    if (tavrin::truth(call_method(path_module.get(), s.n.isdir.get(), {target}))) {
        PyErr_Format(PyExc_ValueError, "a folder is not a file to write: %R", target);
        throw tavrin::PyErrOccurred();
    }
    Ref folder = call_method(path_module.get(), s.n.dirname.get(), {target});
    if (tavrin::truth(folder)) call_method(os.get(), s.n.makedirs.get(), {folder.get(), Py_True}, s.kw_exist_ok.get());
    Ref eight = require(PyLong_FromLong(8));
    Ref random = call_method(call_method(os.get(), s.n.urandom.get(), {eight.get()}).get(), s.n.hex.get(), {});
    Ref text = require(PyObject_Format(target, s.empty.get()));
    Ref temporary = concat({text.get(), s.dot.get(), random.get(), s.part_suffix.get()});
    Ref file = call(global(s.n.open.get()).get(), {temporary.get(), s.write_binary.get()});
    try {
        call_method(self, s.n._download_stream.get(), {bucket, key, file.get()});
        call_method(file.get(), s.n.close.get(), {});
        call_method(os.get(), s.n.replace.get(), {temporary.get(), target});
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        try {
            call_method(file.get(), s.n.close.get(), {});
            call_method(os.get(), s.n.remove.get(), {temporary.get()});
        } catch (const tavrin::PyErrOccurred&) {
            PyErr_Clear();  // the download's own error stands
        }
        error.reraise();
    }
}

// One pair of a call: its work on the thread that runs it, the result put
// in its place.
class PairTask final : public Task {
public:
    PairTask(std::shared_ptr<Batch> batch, Py_ssize_t index, Ref source, Ref target) noexcept
        : batch_(std::move(batch)), index_(index), source_(std::move(source)), target_(std::move(target)) {}

    void run(Work& work) override {
        Ref result;
        try {
            result = perform(work);
        } catch (const tavrin::PyErrOccurred&) {
            // Ctrl-C and the like stop the call, whatever it returns.
            if (!batch_->return_exceptions || !PyErr_ExceptionMatches(PyExc_Exception)) throw;
            result = tavrin::PendingError().take();
        }
        require(PyList_SetItem(batch_->results.get(), index_, result.release()));
        if (batch_->report) {
            Ref index = require(PyLong_FromSsize_t(index_));
            call(batch_->report.get(), {index.get()});
        }
    }

private:
    Ref perform(Work& work) {
        State& s = state();
        PyObject* self = batch_->self.get();
        const bool remote_source = batch_->action != Action::kUpload;
        auto [bucket, key] = object_of(remote_source ? source_.get() : target_.get());
        switch (batch_->action) {
            case Action::kDownload:
                object_download(self, bucket.get(), key.get(), target_.get(), Py_None, Progress())->run(work);
                return Ref::borrow(Py_None);
            case Action::kFetch:
                fetch_into(self, bucket.get(), key.get(), target_.get());
                return Ref::borrow(Py_None);
            case Action::kUpload:
                call_method(self, s.n._upload_file.get(), {bucket.get(), key.get(), source_.get()});
                return Ref::borrow(Py_None);
            case Action::kCopy: {
                auto [to_bucket, to_key] = object_of(target_.get());
                Ref config = getattr(global(s.n.minio.get()).get(), s.n.commonconfig.get());
                Ref from = call_method(config.get(), s.n.CopySource.get(), {bucket.get(), key.get()});
                call_method(engine(self).get(), s.n.copy_object.get(), {to_bucket.get(), to_key.get(), from.get()});
                return Ref::borrow(Py_None);
            }
            case Action::kRead:
                if (target_.get() == Py_None) return read_whole(self, bucket.get(), key.get());
                return read_range(self, bucket.get(), key.get(), target_.get());
            case Action::kSize: {
                Ref stat = call_method(engine(self).get(), s.n.stat_object.get(), {bucket.get(), key.get()});
                return getattr(stat.get(), s.n.size.get());
            }
        }
        return Ref::borrow(Py_None);
    }

    std::shared_ptr<Batch> batch_;
    Py_ssize_t index_;
    Ref source_;
    Ref target_;
};

// The pairs as a list of 2-tuples, every one checked before any is run.
Ref pairs_from(PyObject* pairs, Action action) {
    Ref list = require(PySequence_List(pairs));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref pair = require(PySequence_Tuple(PyList_GET_ITEM(list.get(), i)));
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "pair %zd has %zd items, not 2 (source, target)", i,
                         PyTuple_GET_SIZE(pair.get()));
            throw tavrin::PyErrOccurred();
        }
        PyObject* source = PyTuple_GET_ITEM(pair.get(), 0);
        PyObject* target = PyTuple_GET_ITEM(pair.get(), 1);
        object_of(action == Action::kUpload ? target : source);
        if (action == Action::kCopy) object_of(target);
        require(PyList_SetItem(list.get(), i, pair.release()));
    }
    return list;
}

// TavrinOstrel._transfer_many(self, action, pairs, *, return_exceptions=False, report=None)
//
// Runs each (source, target) pair of `pairs` as one task of the transfer
// pool (at most `workers` at once; one after another without a pool) and
// returns their results in the pairs' order. Objects are named "bucket/key".
// "download": (object, local file), checked as _download_file checks;
// "fetch": (object, local file) by one request checked as _download_stream
// checks, into a temporary file beside the file and moved onto it (no
// size asked first, no ranges);
// "upload": (local file, object) by _upload_file; "copy": (object, object)
// inside the server; "read": (object, None) its bytes, checked as
// _download_stream checks, or (object, (start, end)) the bytes of that
// range; "size": (object, None) its size. The first failure stops the rest
// and the earliest failed pair's exception is raised; with
// `return_exceptions`, every pair runs and a failed pair's exception is its
// result. `report(index)` is called as each pair is done.
constexpr Signature<5> kTransferMany{
    "_transfer_many", {"self", "action", "pairs", "return_exceptions", "report"}, 3, 3};
Ref transfer_many(const Args<5>& a) {
    const Action action = action_from(a[1]);
    Ref pairs = pairs_from(a[2], action);
    const Py_ssize_t count = PyList_GET_SIZE(pairs.get());
    PyObject* report = a.get_or(4, Py_None);
    auto batch = std::make_shared<Batch>(Batch{Ref::borrow(a[0]), action, require(PyList_New(count)),
                                               report == Py_None ? Ref() : Ref::borrow(report),
                                               tavrin::truth(a.get_or(3, Py_False))});
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(batch->results.get(), i, Py_NewRef(Py_None));
    with_transfers(a[0], [&](Transfers& transfers) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
            transfers.run(std::make_unique<PairTask>(batch, i, Ref::borrow(PyTuple_GET_ITEM(pair, 0)),
                                                     Ref::borrow(PyTuple_GET_ITEM(pair, 1))));
        }
    });
    return batch->results;
}

}  // namespace

PyMethodDef transfer_many_def = tavrin::method_def<5, kTransferMany, transfer_many>(
    "TavrinOstrel._transfer_many(self, action, pairs, *, return_exceptions=False, report=None)");

}  // namespace ostrel
