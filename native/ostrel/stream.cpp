// An object's bytes written to a binary stream as they arrive, without
// holding the object in memory; a broken stream goes on from the byte it
// reached.
#include "ostrel.hpp"

#include "parts.hpp"
#include "retries.hpp"
#include "verify.hpp"

#include <vector>

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

// The check of a streamed object's bytes against the first response's ETag,
// fed as the blocks are written: the content is not kept, so a multipart
// ETag is checked with the part sizes known for the object's size, and a
// miss is a mismatch only when the server names parts of exactly one of
// those sizes; otherwise the bytes stand unchecked.
class StreamCheck {
public:
    StreamCheck() = default;

    StreamCheck(PyObject* response) {
        Ref headers = tavrin::optional_getattr(response, state().n.headers.get());
        if (!headers || headers.get() == Py_None) return;
        Ref etag = call_method(headers.get(), state().n.get.get(), {state().etag_header.get()});
        expected_ = Expected(etag.get(), headers.get());
        if (!expected_) return;
        Ref length_name = tavrin::text("Content-Length");
        Ref length = call_method(headers.get(), state().n.get.get(), {length_name.get()});
        if (!PyUnicode_Check(length.get())) {
            expected_ = Expected();
            return;
        }
        Ref number = require(PyLong_FromUnicodeObject(length.get(), 10));
        size_ = tavrin::as_long_long(number.get());
        if (expected_.tag().parts == 0) {
            cuts_.emplace_back(0);
        } else {
            for (long long part_size : part_sizes(size_, expected_.tag().parts)) cuts_.emplace_back(part_size);
        }
    }

    void feed(PyObject* block, long long length) {
        for (Cut& cut : cuts_) cut.feed(block, length, length);
    }

    // Raises IntegrityError when the `total` bytes fed do not match.
    void finish(PyObject* client, PyObject* bucket_name, PyObject* object_name, long long total) {
        if (!expected_ || cuts_.empty()) return;
        Ref computed;
        const ContentTag& tag = expected_.tag();
        std::vector<long long> sizes;
        for (const Cut& cut : cuts_) sizes.push_back(cut.part_size());
        if (total == size_ && cuts_match([](std::vector<Cut>&) { return true; }, cuts_, tag, computed)) return;
        if (tag.parts > 0) {
            std::vector<long long> exact;
            if (!exact_parts(client, bucket_name, object_name, tag, size_, exact)) return;
            // Only a cut made with the object's own part sizes can judge.
            bool judged = false;
            for (long long part_size : sizes) {
                bool equal = true;
                for (std::size_t i = 0; i + 1 < exact.size(); ++i) equal = equal && exact[i] == part_size;
                judged = judged || equal;
            }
            if (!judged) return;
        }
        raise_integrity_error(bucket_name, object_name, expected_, computed.get());
    }

private:
    Expected expected_;
    long long size_ = 0;
    std::vector<Cut> cuts_;
};

// TavrinOstrel._download_stream(self, bucket_name, object_name, stream)
//
// One get_object request; its body is read in blocks of 1 MiB, each handed
// to stream.write() before the next is read. When the stream breaks, the
// rest is asked for from the byte reached, with If-Match on the first
// response's ETag (an object replaced meanwhile fails with the server's
// PreconditionFailed), counted as the file downloads count (retries.hpp):
// what was written is never written again. Each response is closed and its
// connection released, also when reading or writing fails. Unless `verify`
// is off, the bytes are checked against the ETag as they pass
// (StreamCheck): a mismatch raises IntegrityError once every byte is out.
// Returns the number of bytes written.
constexpr Signature<4> kDownloadStream{"_download_stream", {"self", "bucket_name", "object_name", "stream"}, 4};
Ref download_stream(const Args<4>& a) {
    State& s = state();
    Ref client = engine(a[0]);
    long long total = 0;
    Ref if_match;  // {"If-Match": ETag} of the first response
    Ref block_size = require(PyLong_FromLongLong(kMiB));
    const bool verify = configured_verify(a[0]);
    StreamCheck check;
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
                if (verify) check = StreamCheck(response.get());
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
                check.feed(block.get(), length);
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
    // The bytes are out already: a mismatch is reported, not fetched again.
    check.finish(client.get(), a[1], a[2], total);
    return require(PyLong_FromLongLong(total));
}

}  // namespace

PyMethodDef download_stream_def = tavrin::method_def<4, kDownloadStream, download_stream>(
    "TavrinOstrel._download_stream(self, bucket_name, object_name, stream)");

}  // namespace ostrel
