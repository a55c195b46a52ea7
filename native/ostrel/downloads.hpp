// The single-stream file download of one object (downloads.cpp), which the
// tasks of the directory downloads make too. Called with the GIL.
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
void fetch_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
                const Progress& progress, bool verify);

}  // namespace ostrel
