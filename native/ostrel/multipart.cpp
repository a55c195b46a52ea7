// Big files uploaded as the parts of one multipart upload, each part a task
// of the transfer pool.
//
// The upload is made with the client library's own multipart calls: create
// (with the content type), one PUT per part, complete with the parts' ETags
// in order however the parts end, and abort when a part failed or was
// dropped. A part opens the file, reads its slice at its offset and sends
// it. All of that state is touched with the GIL only.
#include "multipart.hpp"

#include "parts.hpp"
#include "progress.hpp"
#include "transfers.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The client library's multipart calls, bound to one client.
struct MultipartCalls {
    Ref create;
    Ref upload_part;
    Ref complete;
    Ref abort;
};

// The multipart calls of `client`; false where it lacks any of them.
bool multipart_calls(PyObject* client, MultipartCalls& calls) {
    State& s = state();
    calls.create = tavrin::optional_getattr(client, s.n._create_multipart_upload.get());
    calls.upload_part = tavrin::optional_getattr(client, s.n._upload_part.get());
    calls.complete = tavrin::optional_getattr(client, s.n._complete_multipart_upload.get());
    calls.abort = tavrin::optional_getattr(client, s.n._abort_multipart_upload.get());
    return calls.create && calls.upload_part && calls.complete && calls.abort;
}

// The size of the regular file at `path` (by os.stat, which follows links);
// -1 for anything else, also where os.stat refuses the path: the client
// library's single call then meets whatever is wrong with it.
long long regular_file_size(PyObject* path) {
    State& s = state();
    Ref info;
    try {
        Ref fspath = require(PyOS_FSPath(path));  // not a path (an int would stat a descriptor)
        info = call_method(global(s.n.os.get()).get(), s.n.stat.get(), {fspath.get()});
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        if (!error.matches(PyExc_OSError) && !error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) {
            error.reraise();
        }
        return -1;
    }
    Ref stat = require(PyImport_ImportModule("stat"));
    Ref mode = getattr(info.get(), s.n.st_mode.get());
    if (!tavrin::truth(call_method(stat.get(), s.n.S_ISREG.get(), {mode.get()}))) return -1;
    return tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get());
}

// One multipart upload under way, shared by its parts.
class MultipartUpload {
public:
    // `progress`: counts its bytes; with `count_done`, the file as done once
    // the upload is complete.
    MultipartUpload(MultipartCalls calls, PyObject* bucket_name, PyObject* object_name, PyObject* file_name,
                    long long size, Progress progress, bool count_done)
        : calls_(std::move(calls)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(Ref::borrow(object_name)),
          file_name_(Ref::borrow(file_name)),
          size_(size),
          progress_(std::move(progress)),
          count_done_(count_done) {}
    MultipartUpload(const MultipartUpload&) = delete;
    MultipartUpload& operator=(const MultipartUpload&) = delete;
    // An upload that was started and neither completed nor aborted (its
    // parts were never handed out) is aborted.
    ~MultipartUpload() { abort(); }

    // Creates the upload, typed `content_type`.
    void start(PyObject* content_type) {
        State& s = state();
        Ref headers = require(PyDict_New());
        require(PyDict_SetItem(headers.get(), s.content_type_header.get(), content_type));
        upload_id_ = call(calls_.create.get(), {bucket_name_.get(), object_name_.get(), headers.get()});
        if (progress_) progress_.announce(size_);
    }

    // The parts, in order, of part_size() each.
    Tasks parts(const std::shared_ptr<MultipartUpload>& self);

    // Keeps the object's ETag for the file, once complete (digests.hpp).
    void record_as(SentFile sending) { sending_ = std::move(sending); }

    // Reads part `number` (from 1), the bytes [offset, offset + length) of
    // the file, and sends it.
    void send(long long number, long long offset, long long length);

    // A part ended: `done` when it was sent. The last part to end completes
    // the upload, or aborts it when a part failed or was dropped; a failure
    // to complete aborts it too and is raised.
    void part_ended(bool done) {
        if (!done) failed_ = true;
        if (--outstanding_ > 0) return;
        if (failed_) {
            abort();
            return;
        }
        try {
            complete();
        } catch (const tavrin::PyErrOccurred&) {
            abort();
            throw;
        }
        if (count_done_ && progress_) progress_.file_done(object_name_.get());
    }

private:
    void complete() {
        State& s = state();
        Ref parts = part_list(etags_);
        Ref written = call(calls_.complete.get(), {bucket_name_.get(), object_name_.get(), upload_id_.get(), parts.get()});
        upload_id_.reset();
        sending_.sent(tavrin::optional_getattr(written.get(), s.n.etag.get()).get());
    }

    // Aborts the upload, if one is open, so that the server keeps no part.
    void abort() noexcept {
        if (!upload_id_) return;
        Ref upload_id = std::move(upload_id_);
        abort_quietly(calls_.abort.get(), bucket_name_.get(), object_name_.get(), upload_id.get());
    }

    MultipartCalls calls_;  // bound to the client
    Ref bucket_name_;
    Ref object_name_;
    Ref file_name_;
    Ref upload_id_;  // while the upload is open
    long long size_;
    Progress progress_;
    bool count_done_;
    SentFile sending_;
    std::vector<Ref> etags_;       // of the parts sent, by part number
    std::size_t outstanding_ = 0;  // parts not yet ended
    bool failed_ = false;
};

void MultipartUpload::send(long long number, long long offset, long long length) {
    State& s = state();
    Ref start = require(PyLong_FromLongLong(offset));
    Ref count = require(PyLong_FromLongLong(length));
    Ref data;
    Ref file = call(global(s.n.open.get()).get(), {file_name_.get(), s.read_binary.get()});
    try {
        call_method(file.get(), s.n.seek.get(), {start.get()});
        data = call_method(file.get(), s.n.read.get(), {count.get()});
    } catch (const tavrin::PyErrOccurred&) {
        close_and_reraise(file.get());
    }
    call_method(file.get(), s.n.close.get(), {});
    const Py_ssize_t got = require(PyObject_Length(data.get()));
    if (got != length) {
        PyErr_Format(PyExc_OSError, "file %R ended at byte %lld, before its size of %lld bytes", file_name_.get(),
                     offset + static_cast<long long>(got), size_);
        throw tavrin::PyErrOccurred();
    }
    Ref part_number = require(PyLong_FromLongLong(number));
    etags_[static_cast<std::size_t>(number - 1)] =
        call(calls_.upload_part.get(),
             {bucket_name_.get(), object_name_.get(), data.get(), Py_None, upload_id_.get(), part_number.get()});
    if (progress_) progress_.add_bytes(object_name_.get(), length);
}

// One part of a multipart upload.
class UploadPart final : public PartOf<MultipartUpload> {
public:
    UploadPart(std::shared_ptr<MultipartUpload> upload, long long number, long long offset, long long length)
        : PartOf(std::move(upload)), number_(number), offset_(offset), length_(length) {}

    void run(Work&) override {
        run_part([&] {
            whole().send(number_, offset_, length_);
            return true;
        });
    }

private:
    long long number_;
    long long offset_;
    long long length_;
};

Tasks MultipartUpload::parts(const std::shared_ptr<MultipartUpload>& self) {
    const long long part = part_size(size_);
    Tasks tasks;
    long long number = 0;
    for (long long offset = 0; offset < size_; offset += part) {
        tasks.push_back(std::make_unique<UploadPart>(self, ++number, offset, std::min(part, size_ - offset)));
    }
    etags_.resize(tasks.size());
    outstanding_ = tasks.size();
    return tasks;
}

Ref content_type_of(PyObject* object_name) {
    return call(global(state().n.get_mimora.get()).get(), {object_name});
}

// The multipart upload of one file of a directory transfer: created on a
// transfer thread, its parts handed to the same pool.
class FileInParts final : public Task {
public:
    FileInParts(MultipartCalls calls, PyObject* bucket_name, PyObject* object_name, PyObject* file_name,
                long long size, Progress progress, SentFile sending)
        : calls_(std::move(calls)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(Ref::borrow(object_name)),
          file_name_(Ref::borrow(file_name)),
          size_(size),
          progress_(std::move(progress)),
          sending_(std::move(sending)) {}

    void run(Work& work) override {
        Ref content_type = content_type_of(object_name_.get());
        auto upload = std::make_shared<MultipartUpload>(std::move(calls_), bucket_name_.get(), object_name_.get(),
                                                        file_name_.get(), size_, progress_, true);
        upload->record_as(std::move(sending_));
        upload->start(content_type.get());
        work.spawn(upload->parts(upload));
    }

private:
    MultipartCalls calls_;
    Ref bucket_name_;
    Ref object_name_;
    Ref file_name_;
    long long size_;
    Progress progress_;
    SentFile sending_;
};

}  // namespace

Ref part_list(const std::vector<Ref>& etags) {
    Ref datatypes = require(PyImport_ImportModule("minio.datatypes"));
    Ref part_type = getattr(datatypes.get(), state().n.Part.get());
    Ref parts = require(PyList_New(static_cast<Py_ssize_t>(etags.size())));
    for (std::size_t i = 0; i < etags.size(); ++i) {
        Ref number = require(PyLong_FromSize_t(i + 1));
        Ref part = call(part_type.get(), {number.get(), etags[i].get()});
        PyList_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(i), part.release());
    }
    return parts;
}

void abort_quietly(PyObject* abort, PyObject* bucket_name, PyObject* object_name, PyObject* upload_id) noexcept {
    tavrin::PendingError pending;
    try {
        call(abort, {bucket_name, object_name, upload_id});
    } catch (const tavrin::PyErrOccurred&) {
        PyErr_Clear();
    } catch (const std::exception&) {
        PyErr_Clear();
    }
    pending.restore();
}

bool upload_in_parts(PyObject* self, PyObject* bucket_name, PyObject* object_name, PyObject* file_name,
                     PyObject* content_type, const Progress& progress) {
    const long long size = regular_file_size(file_name);
    if (size < kPartedMinimum) return false;
    Ref client = engine(self);
    MultipartCalls calls;
    if (!multipart_calls(client.get(), calls)) return false;
    auto upload =
        std::make_shared<MultipartUpload>(std::move(calls), bucket_name, object_name, file_name, size, progress, false);
    upload->record_as(SentFile(self, file_name));
    upload->start(content_type);
    Tasks parts = upload->parts(upload);
    upload.reset();  // the parts own it now
    if (Transfers::on_transfer_thread()) {
        // One of a directory transfer's threads (an override of _upload_file
        // calling this one): the parts are sent here, one after another, so
        // the transfer's requests stay as many as its threads.
        Work here(nullptr, 0);
        here.spawn(std::move(parts));
        return true;
    }
    with_transfers(self, [&](Transfers& transfers) { transfers.spawn(std::move(parts)); });
    return true;
}

std::unique_ptr<Task> file_upload_in_parts(PyObject* self, PyObject* bucket_name, PyObject* object_name,
                                           PyObject* file_name, const Progress& progress) {
    const long long size = regular_file_size(file_name);
    if (size < kPartedMinimum) return nullptr;
    Ref client = engine(self);
    MultipartCalls calls;
    if (!multipart_calls(client.get(), calls)) return nullptr;
    return std::make_unique<FileInParts>(std::move(calls), bucket_name, object_name, file_name, size, progress,
                                         SentFile(self, file_name));
}

}  // namespace ostrel
