// An object's bytes written to a binary stream as they arrive, without
// holding the object in memory; a broken stream goes on from the byte it
// reached.
#include "ostrel.hpp"

#include "parts.hpp"
#include "retries.hpp"

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The response's ETag header as If-Match takes it, or empty when it has none.
Ref response_etag(PyObject* response) {
    State& s = state();
    Ref headers = getattr(response, s.n.headers.get());
    Ref etag = call_method(headers.get(), s.n.get.get(), {s.etag_header.get()});
    if (!PyUnicode_Check(etag.get()) || PyUnicode_GetLength(etag.get()) == 0) return Ref();
    return etag;
}

// TavrinOstrel._download_stream(self, bucket_name, object_name, stream)
//
// One get_object request; its body is read in blocks of 1 MiB, each handed
// to stream.write() before the next is read. When the stream breaks, the
// rest is asked for from the byte reached, with If-Match on the first
// response's ETag (an object replaced meanwhile fails with the server's
// PreconditionFailed), counted as the file downloads count (retries.hpp):
// what was written is never written again. Each response is closed and its
// connection released, also when reading or writing fails. Returns the
// number of bytes written.
constexpr Signature<4> kDownloadStream{"_download_stream", {"self", "bucket_name", "object_name", "stream"}, 4};
Ref download_stream(const Args<4>& a) {
    State& s = state();
    Ref client = engine(a[0]);
    long long total = 0;
    Ref if_match;  // {"If-Match": ETag} of the first response
    Ref block_size = require(PyLong_FromLongLong(kMiB));
    with_stream_retries([&](long long& written) {
        Ref response;
        if (total == 0) {
            response = call_method(client.get(), s.n.get_object.get(), {a[1], a[2]});
        } else if (if_match) {
            Ref offset = require(PyLong_FromLongLong(total));
            Ref to_end = require(PyLong_FromLong(0));
            response = call_method(client.get(), s.n.get_object.get(), {a[1], a[2], offset.get(), to_end.get(), if_match.get()},
                                   s.kw_range.get());
        } else {
            // Nothing to match the rest against: the broken stream's error stands.
            PyErr_SetString(PyExc_ConnectionError, "the object's stream broke and its response named no ETag to go on from");
            throw tavrin::PyErrOccurred();
        }
        try {
            if (total == 0) {
                if (Ref etag = response_etag(response.get())) {
                    if_match = require(PyDict_New());
                    require(PyDict_SetItem(if_match.get(), s.if_match.get(), etag.get()));
                }
            } else if (tavrin::as_long_long(getattr(response.get(), s.n.status.get()).get()) != 206) {
                PyErr_SetString(PyExc_ConnectionError, "the server sent the whole object instead of the rest");
                throw tavrin::PyErrOccurred();
            }
            for (;;) {
                Ref block = call_method(response.get(), s.n.read.get(), {block_size.get()});
                const Py_ssize_t length = require(PyObject_Length(block.get()));
                if (length == 0) break;
                call_method(a[3], s.n.write.get(), {block.get()});
                total += length;
                written += length;
            }
        } catch (const tavrin::PyErrOccurred&) {
            release_response(response.get());
            throw;
        }
        release_response(response.get());
        return Ref();
    });
    return require(PyLong_FromLongLong(total));
}

}  // namespace

PyMethodDef download_stream_def = tavrin::method_def<4, kDownloadStream, download_stream>(
    "TavrinOstrel._download_stream(self, bucket_name, object_name, stream)");

}  // namespace ostrel
