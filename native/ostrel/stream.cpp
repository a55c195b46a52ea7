// An object's bytes written to a binary stream as they arrive, without
// holding the object in memory.
#include "ostrel.hpp"

#include "parts.hpp"

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::require;

// TavrinOstrel._download_stream(self, bucket_name, object_name, stream)
//
// One get_object request; its body is read in blocks of 1 MiB, each handed
// to stream.write() before the next is read. The response is closed and
// its connection released, also when reading or writing fails. Returns the
// number of bytes written.
constexpr Signature<4> kDownloadStream{"_download_stream", {"self", "bucket_name", "object_name", "stream"}, 4};
Ref download_stream(const Args<4>& a) {
    State& s = state();
    Ref response = call_method(engine(a[0]).get(), s.n.get_object.get(), {a[1], a[2]});
    long long total = 0;
    try {
        Ref block_size = require(PyLong_FromLongLong(kMiB));
        for (;;) {
            Ref block = call_method(response.get(), s.n.read.get(), {block_size.get()});
            const Py_ssize_t length = require(PyObject_Length(block.get()));
            if (length == 0) break;
            call_method(a[3], s.n.write.get(), {block.get()});
            total += length;
        }
    } catch (const tavrin::PyErrOccurred&) {
        release_response(response.get());
        throw;
    }
    release_response(response.get());
    return require(PyLong_FromLongLong(total));
}

}  // namespace

PyMethodDef download_stream_def = tavrin::method_def<4, kDownloadStream, download_stream>(
    "TavrinOstrel._download_stream(self, bucket_name, object_name, stream)");

}  // namespace ostrel
