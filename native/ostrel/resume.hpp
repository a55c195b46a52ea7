// File downloads that go on from the byte they reached (resume.cpp). The
// client library's file download writes `<file>.<etag>.part.minio`, named
// after the ETag its bytes came from, and leaves it when its stream breaks.
// That part file is continued by a byte range from its end, asked for with
// If-Match on that ETag (an object replaced meanwhile fails the request),
// then renamed onto the target as the library does. Used with the GIL.
#pragma once

#include "ostrel.hpp"

#include <cstdint>

namespace ostrel {

// Nanoseconds since the epoch of file times (1970), by the system clock:
// taken when an attempt of the client library's file download starts.
std::int64_t now_ns();

// The part file an attempt of the client library's file download left.
class PartFile {
public:
    PartFile() = default;

    // The part file that the attempt at `target` started at `since` left,
    // when it left exactly one, of at least `least` bytes; otherwise empty,
    // and every part file the attempt left is removed (part files older
    // than the attempt are left alone). Keeps the exception under way; its
    // own errors are dropped.
    static PartFile left_by(PyObject* target, std::int64_t since, long long least) noexcept;

    // A new, empty part file for the object at `etag` (as listed, quoted or
    // not), named as the client library names its own, `<target>.<etag,
    // URL-quoted>.part.minio`; the target's missing folders are made. To
    // go_on() from its start: a download in one request, without asking
    // for the object's size and ETag first.
    static PartFile start(PyObject* target, PyObject* etag);

    explicit operator bool() const noexcept { return static_cast<bool>(path_); }
    long long size() const noexcept { return size_; }
    // The ETag its bytes came from (quoted).
    PyObject* etag() const noexcept { return etag_.get(); }

    // Appends the rest of object `object_name` to the part file, from its
    // end, and renames it onto `target`. `written` grows with each block
    // written, as do the counts of `hook` (the progress object of the
    // download, or empty). With `verify`, the whole part file is checked
    // against the object's ETag before the rename: one that does not match
    // is removed (this is empty then) and IntegrityError raised. When this
    // raises otherwise, the part file holds what was written, to go on from
    // or to remove().
    void go_on(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target, PyObject* hook,
               bool verify, long long& written);

    // Removes the part file, if any. Keeps the exception under way.
    void remove() noexcept;

private:
    Ref path_;
    Ref etag_;  // the ETag its bytes came from, quoted as If-Match takes it
    long long size_ = 0;
};

}  // namespace ostrel
