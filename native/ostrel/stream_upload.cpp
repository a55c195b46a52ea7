// A binary stream of unknown length (standard input, a pipe) stored as one
// object: read a part at a time, so memory holds one part; one PUT when the
// stream ends within the first part, else one multipart upload, aborted when
// anything fails (the stream, a part, the completion, Ctrl-C), so that a
// failed upload leaves nothing on the server.
#include "ostrel.hpp"

#include "multipart.hpp"
#include "parts.hpp"

#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The part of an upload from a stream: the client library's minimum is
// 5 MiB; 16 MiB parts reach 156 GiB within kMaxParts.
constexpr long long kStreamPart = 16 * kMiB;

// Up to `size` bytes from `stream`: read() until that many came or the
// stream ended (a pipe gives what it holds at each read).
Ref read_part(PyObject* stream, long long size) {
    State& s = state();
    Ref chunks = require(PyList_New(0));
    long long got = 0;
    while (got < size) {
        Ref wanted = require(PyLong_FromLongLong(size - got));
        Ref chunk = call_method(stream, s.n.read.get(), {wanted.get()});
        if (!PyBytes_Check(chunk.get())) {
            PyErr_Format(PyExc_TypeError, "the stream must give bytes, not %.200s", Py_TYPE(chunk.get())->tp_name);
            throw tavrin::PyErrOccurred();
        }
        if (PyBytes_GET_SIZE(chunk.get()) == 0) break;
        got += PyBytes_GET_SIZE(chunk.get());
        require(PyList_Append(chunks.get(), chunk.get()));
    }
    if (PyList_GET_SIZE(chunks.get()) == 1) return Ref::borrow(PyList_GET_ITEM(chunks.get(), 0));
    Ref nothing = require(PyBytes_FromStringAndSize(nullptr, 0));
    return call_method(nothing.get(), state().n.join.get(), {chunks.get()});
}

// One multipart upload fed from a stream, part after part.
class StreamParts {
public:
    StreamParts(PyObject* client, PyObject* bucket_name, PyObject* object_name)
        : client_(client), bucket_name_(bucket_name), object_name_(object_name) {}
    StreamParts(const StreamParts&) = delete;
    StreamParts& operator=(const StreamParts&) = delete;
    ~StreamParts() { abort(); }

    void start(PyObject* content_type) {
        State& s = state();
        Ref headers = require(PyDict_New());
        require(PyDict_SetItem(headers.get(), s.content_type_header.get(), content_type));
        abort_ = getattr(client_, s.n._abort_multipart_upload.get());  // bound first: an abort cannot fail to start
        upload_id_ = call_method(client_, s.n._create_multipart_upload.get(), {bucket_name_, object_name_, headers.get()});
    }

    void send(PyObject* data) {
        if (static_cast<long long>(etags_.size()) >= kMaxParts) {
            PyErr_Format(PyExc_ValueError, "the stream is longer than %lld parts of %lld bytes", kMaxParts, kStreamPart);
            throw tavrin::PyErrOccurred();
        }
        Ref number = require(PyLong_FromSize_t(etags_.size() + 1));
        etags_.push_back(call_method(client_, state().n._upload_part.get(),
                                     {bucket_name_, object_name_, data, Py_None, upload_id_.get(), number.get()}));
    }

    void complete() {
        Ref parts = part_list(etags_);
        call_method(client_, state().n._complete_multipart_upload.get(),
                    {bucket_name_, object_name_, upload_id_.get(), parts.get()});
        upload_id_.reset();
    }

private:
    void abort() noexcept {
        if (!upload_id_) return;
        Ref upload_id = std::move(upload_id_);
        abort_quietly(abort_.get(), bucket_name_, object_name_, upload_id.get());
    }

    PyObject* client_;
    PyObject* bucket_name_;
    PyObject* object_name_;
    Ref abort_;
    Ref upload_id_;  // while the upload is open
    std::vector<Ref> etags_;
};

// TavrinOstrel._upload_stream(self, bucket_name, object_name, stream)
//
// Stores what stream.read() gives until it gives b"", typed by get_mimora
// like the other uploads (backslashes in the name become "/"). Returns the
// number of bytes stored.
constexpr Signature<4> kUploadStream{"_upload_stream", {"self", "bucket_name", "object_name", "stream"}, 4};
Ref upload_stream(const Args<4>& a) {
    State& s = state();
    Ref client = engine(a[0]);
    Ref object_name = forward_slashes(a[2]);
    Ref content_type = call(global(s.n.get_mimora.get()).get(), {object_name.get()});
    Ref part = read_part(a[3], kStreamPart);
    long long total = PyBytes_GET_SIZE(part.get());
    if (total < kStreamPart) {
        Ref body = call_method(global(s.n.io.get()).get(), s.n.BytesIO.get(), {part.get()});
        Ref length = require(PyLong_FromLongLong(total));
        call_method(client.get(), s.n.put_object.get(), {a[1], object_name.get(), body.get(), length.get(), content_type.get()},
                    s.kw_put.get());
        return require(PyLong_FromLongLong(total));
    }
    StreamParts upload(client.get(), a[1], object_name.get());
    upload.start(content_type.get());
    while (PyBytes_GET_SIZE(part.get()) > 0) {
        upload.send(part.get());
        part = read_part(a[3], kStreamPart);
        total += PyBytes_GET_SIZE(part.get());
    }
    upload.complete();
    return require(PyLong_FromLongLong(total));
}

}  // namespace

PyMethodDef upload_stream_def = tavrin::method_def<4, kUploadStream, upload_stream>(
    "TavrinOstrel._upload_stream(self, bucket_name, object_name, stream)");

}  // namespace ostrel
