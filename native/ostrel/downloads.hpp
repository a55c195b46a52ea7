// The single-stream file download of one object (downloads.cpp), which the
// tasks of the directory downloads make too, and the test of a name that
// cannot be a local file name. Called with the GIL.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

class Progress;

// The client library's file download of one object (fget_object). When its
// stream breaks after it wrote kResumeMinimum bytes or more, it goes on from
// there (resume.hpp); else the same call is made again. A download that
// fails leaves no part file. With `verify`, what the download wrote is
// checked against the ETag of the object it came from (verify.hpp): a file
// that does not match is removed and the download made again from byte 0,
// an attempt that counts as a broken one; IntegrityError when the attempts
// run out. With `progress`, every attempt carries the same progress object.
// Returns the ETag of the object the target now holds, when checked (for
// the digest cache); else empty.
Ref fetch_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
               const Progress& progress, bool verify);

// The download of an object whose ETag a listing gave: one get_object
// request with If-Match on that ETag (no stat_object first), written into a
// part file of the library's naming and renamed onto `target`; a broken
// stream goes on from the byte it reached, counted as fetch_file() counts.
// With `verify`, the part file is checked against the ETag and encryption
// headers of the response before the rename; one that does not match is
// removed and fetched again from byte 0, as a broken attempt counts.
// A download that fails leaves no part file.
void fetch_listed_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
                       PyObject* etag, const Progress& progress, bool verify);

// True when `name`, a non-empty file name without "/", would not name a new
// entry inside the target directory: "." and "..", and a name holding a
// separator of the platform's paths. On Windows also a name holding ":" (a
// drive or a stream), one ending in "." or " " (Windows drops those, so
// ".. " would name the parent), and the names os.path.isreserved() refuses
// where it exists (device names such as NUL or COM1).
bool unsafe_file_name(PyObject* name);

}  // namespace ostrel
