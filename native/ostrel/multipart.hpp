// Big files uploaded as the parts of one multipart upload on the transfer
// pool (multipart.cpp). Each part is a task that reads its own slice of the
// file, so memory holds one part per request under way, and no thread waits
// for a part: the part that ends last completes the upload, or aborts it when
// a part failed or was dropped, so that a failed upload leaves nothing on the
// server. Made, run and dropped with the GIL.
#pragma once

#include "ostrel.hpp"
#include "transfers.hpp"

#include <memory>
#include <vector>

namespace ostrel {

class Progress;

// Uploads `file_name` as `object_name` (its backslashes already replaced),
// typed `content_type`, in parts when it is a regular file of
// kPartedMinimum bytes or more and the client library has its multipart
// calls: on a pool of its own, or, on a transfer thread, one part after
// another. False, having sent nothing, when it is not such a file: the
// caller makes the single call of the client library instead. With
// `progress`, it counts its bytes (the caller counts the file as done).
bool upload_in_parts(PyObject* self, PyObject* bucket_name, PyObject* object_name, PyObject* file_name,
                     PyObject* content_type, const Progress& progress);

// The upload of one file of a directory transfer (`object_name` as the
// walk built it) as a task that uploads it in parts on the transfer's pool
// and counts the file as done; empty when it is not such a file, for the
// per-object call of _upload_file.
std::unique_ptr<Task> file_upload_in_parts(PyObject* self, PyObject* bucket_name, PyObject* object_name,
                                           PyObject* file_name, const Progress& progress);

// The parts list that completes a multipart upload: minio.datatypes.Part
// for each ETag, numbered from 1.
Ref part_list(const std::vector<Ref>& etags);

// abort(bucket_name, object_name, upload_id), so that the server keeps no
// part, keeping any exception under way: an abort that fails does not hide
// the failure that called for it.
void abort_quietly(PyObject* abort, PyObject* bucket_name, PyObject* object_name, PyObject* upload_id) noexcept;

}  // namespace ostrel
