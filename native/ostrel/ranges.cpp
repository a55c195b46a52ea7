// Big objects fetched as byte ranges on several connections at once.
//
// One ranged download writes its parts into one temporary file beside the
// target, `<target>.<random hex>.ranges`, each part at its offset, and
// replaces the target with it once every part is in. The parts are tasks of
// the transfer pool: they share the pool of the call that asked for them, so
// the requests of one call never outnumber its threads, and no thread waits
// for a part: the part that ends last finishes the object (replaces the
// target, or removes the temporary file when a part failed or was dropped).
// All of that state is touched with the GIL only.
#include "ranges.hpp"

#include "downloads.hpp"
#include "progress.hpp"
#include "retries.hpp"
#include "transfers.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

constexpr long long kBlock = 1 * kMiB;  // the most read from a response at a time
constexpr int kTempNameAttempts = 8;    // tries at a temporary name nobody has taken

// One ranged download under way, shared by its parts.
class RangedObject {
public:
    // `progress`: counts its bytes; with `count_done`, the object as done
    // once all of them are written.
    RangedObject(PyObject* client, PyObject* bucket_name, PyObject* object_name, Ref target, long long size,
                 Progress progress, bool count_done)
        : client_(Ref::borrow(client)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(Ref::borrow(object_name)),
          target_(std::move(target)),
          size_(size),
          progress_(std::move(progress)),
          count_done_(count_done) {}

    // The target's checks as the client library's file download makes them:
    // a directory is refused, missing parent directories are made.
    void check_target() {
        State& s = state();
        Ref os = global(s.n.os.get());
        Ref path = getattr(os.get(), s.n.path.get());
        if (tavrin::truth(call_method(path.get(), s.n.isdir.get(), {target_.get()}))) {
            PyErr_Format(PyExc_ValueError, "file %S is a directory", target_.get());
            throw tavrin::PyErrOccurred();
        }
        Ref parent = call_method(path.get(), s.n.dirname.get(), {target_.get()});
        if (tavrin::truth(parent)) {
            call(getattr(os.get(), s.n.makedirs.get()).get(), {parent.get(), Py_True}, s.kw_exist_ok.get());
        }
    }

    // The ETag every part must match, and the temporary file.
    void start(PyObject* etag) {
        State& s = state();
        headers_ = require(PyDict_New());
        Ref quoted = concat({s.quote.get(), etag, s.quote.get()});
        require(PyDict_SetItem(headers_.get(), s.if_match.get(), quoted.get()));
        create_temporary(global(s.n.os.get()).get());
        if (progress_) progress_.announce(size_);
    }

    // The parts, in order, of part_size() each.
    Tasks parts(const std::shared_ptr<RangedObject>& self);

    // A part ended: `done` when all its bytes are written. The last part to
    // end finishes the object; a failure to replace the target is raised.
    void part_ended(bool done) {
        if (!done) failed_ = true;
        if (--outstanding_ > 0) return;
        if (failed_) {
            discard();
            return;
        }
        call_method(global(state().n.os.get()).get(), state().n.replace.get(), {temp_.get(), target_.get()});
        temp_.reset();  // it is the target now
        if (count_done_ && progress_) progress_.file_done(object_name_.get());
    }

    // Writes the bytes [offset + reached, offset + length) of the object at
    // their place in the temporary file; `reached` grows with each block
    // written. Stops early (false) when the transfer is stopping.
    bool fetch(Work& work, long long offset, long long length, long long& reached);

private:
    // Makes the temporary file, named after the target, so that nobody else's file is used.
    void create_temporary(PyObject* os) {
        State& s = state();
        Ref base = require(PyOS_FSPath(target_.get()));
        Ref opener = global(s.n.open.get());
        for (int attempt = 1;; ++attempt) {
            Ref token = call_method(call_method(os, s.n.urandom.get(), {s.four.get()}).get(), s.n.hex.get(), {});
            Ref name = concat({base.get(), s.dot.get(), token.get(), s.ranges_suffix.get()});
            try {
                call_method(call(opener.get(), {name.get(), s.create_binary.get()}).get(), s.n.close.get(), {});
                temp_ = std::move(name);
                return;
            } catch (const tavrin::PyErrOccurred&) {
                tavrin::PendingError error;
                if (attempt == kTempNameAttempts || !error.matches(PyExc_FileExistsError)) error.reraise();
            }
        }
    }

    // Removes the temporary file, if any; keeps any exception under way.
    void discard() noexcept {
        if (!temp_) return;
        remove_file(temp_.get());
        temp_.reset();
    }

    Ref client_;
    Ref bucket_name_;
    Ref object_name_;
    Ref target_;
    Ref temp_;
    Ref headers_;  // {"If-Match": the ETag}
    long long size_;
    Progress progress_;
    bool count_done_;
    std::size_t outstanding_ = 0;  // parts not yet ended
    bool failed_ = false;
};

bool RangedObject::fetch(Work& work, long long offset, long long length, long long& reached) {
    State& s = state();
    Ref start = require(PyLong_FromLongLong(offset + reached));
    Ref count = require(PyLong_FromLongLong(length - reached));
    Ref response = call_method(client_.get(), s.n.get_object.get(),
                               {bucket_name_.get(), object_name_.get(), start.get(), count.get(), headers_.get()},
                               s.kw_range.get());
    try {
        Ref file = call(global(s.n.open.get()).get(), {temp_.get(), s.update_binary.get()});
        try {
            call_method(file.get(), s.n.seek.get(), {start.get()});
            while (reached < length) {
                if (work.stopping()) break;
                Ref amount = require(PyLong_FromLongLong(std::min(kBlock, length - reached)));
                Ref block = call_method(response.get(), s.n.read.get(), {amount.get()});
                const Py_ssize_t got = require(PyObject_Length(block.get()));
                if (got == 0) raise_short_body();
                call_method(file.get(), s.n.write.get(), {block.get()});
                reached += got;
                if (progress_) progress_.add_bytes(object_name_.get(), got);
            }
        } catch (const tavrin::PyErrOccurred&) {
            close_and_reraise(file.get());
        }
        call_method(file.get(), s.n.close.get(), {});
    } catch (const tavrin::PyErrOccurred&) {
        release_response(response.get());
        throw;
    }
    release_response(response.get());
    return reached == length;
}

// One part of a ranged download.
class RangePart final : public PartOf<RangedObject> {
public:
    RangePart(std::shared_ptr<RangedObject> object, long long offset, long long length)
        : PartOf(std::move(object)), offset_(offset), length_(length) {}

    void run(Work& work) override {
        run_part([&] {
            bool done = false;
            long long reached = 0;
            with_stream_retries([&](long long& written) {
                const long long before = reached;
                try {
                    done = whole().fetch(work, offset_, length_, reached);
                } catch (const tavrin::PyErrOccurred&) {
                    written = reached - before;
                    throw;
                }
                return Ref();
            });
            return done;
        });
    }

private:
    long long offset_;
    long long length_;
};

Tasks RangedObject::parts(const std::shared_ptr<RangedObject>& self) {
    const long long part = part_size(size_);
    Tasks tasks;
    for (long long offset = 0; offset < size_; offset += part) {
        tasks.push_back(std::make_unique<RangePart>(self, offset, std::min(part, size_ - offset)));
    }
    outstanding_ = tasks.size();
    return tasks;
}

// The ranged download of an object that a directory transfer lists: the
// ETag is asked for right before the first part.
class RangedObjectTask final : public Task {
public:
    RangedObjectTask(PyObject* self, PyObject* bucket_name, PyObject* object_name, PyObject* target, long long size,
                     Progress progress)
        : self_(Ref::borrow(self)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(Ref::borrow(object_name)),
          target_(Ref::borrow(target)),
          size_(size),
          progress_(std::move(progress)) {}

    void run(Work& work) override {
        Ref client = engine(self_.get());
        auto object = std::make_shared<RangedObject>(client.get(), bucket_name_.get(), object_name_.get(),
                                                     Ref(target_), size_, progress_, true);
        object->check_target();  // before the request, as the client library's file download
        Ref stat = call_method(client.get(), state().n.stat_object.get(), {bucket_name_.get(), object_name_.get()});
        object->start(getattr(stat.get(), state().n.etag.get()).get());
        work.spawn(object->parts(object));
    }

private:
    Ref self_;
    Ref bucket_name_;
    Ref object_name_;
    Ref target_;
    long long size_;
    Progress progress_;
};

// The single-stream download of one object of a directory transfer.
class FileTask final : public Task {
public:
    FileTask(PyObject* self, PyObject* bucket_name, PyObject* object_name, PyObject* target, Progress progress)
        : self_(Ref::borrow(self)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(Ref::borrow(object_name)),
          target_(Ref::borrow(target)),
          progress_(std::move(progress)) {}

    void run(Work&) override {
        fetch_file(engine(self_.get()).get(), bucket_name_.get(), object_name_.get(), target_.get(), progress_);
        if (progress_) progress_.file_done(object_name_.get());
    }

private:
    Ref self_;
    Ref bucket_name_;
    Ref object_name_;
    Ref target_;
    Progress progress_;
};

}  // namespace

Ref ranged_target(PyObject* target) {
    if (PyUnicode_Check(target)) return Ref::borrow(target);
    if (PyBytes_Check(target)) return Ref();
    PyObject* path = PyOS_FSPath(target);
    if (path == nullptr || !PyUnicode_Check(path)) {
        PyErr_Clear();  // not a path of text: the client library's own call reports what it makes of it
        Py_XDECREF(path);
        return Ref();
    }
    return Ref::steal(path);
}

std::unique_ptr<Task> object_download(PyObject* self, PyObject* bucket_name, PyObject* object_name,
                                      PyObject* target, PyObject* size, const Progress& progress) {
    if (PyUnicode_Check(target) && PyLong_Check(size) && tavrin::as_long_long(size) >= kPartedMinimum) {
        return std::make_unique<RangedObjectTask>(self, bucket_name, object_name, target, tavrin::as_long_long(size), progress);
    }
    return std::make_unique<FileTask>(self, bucket_name, object_name, target, progress);
}

void download_ranges(PyObject* self, PyObject* client, PyObject* bucket_name, PyObject* object_name,
                     const Ref& target, PyObject* stat, const Progress& progress) {
    State& s = state();
    auto object = std::make_shared<RangedObject>(client, bucket_name, object_name, target,
                                                 tavrin::as_long_long(getattr(stat, s.n.size.get()).get()), progress, false);
    object->check_target();
    object->start(getattr(stat, s.n.etag.get()).get());
    Tasks parts = object->parts(object);
    if (Transfers::on_transfer_thread()) {
        // One of a directory transfer's threads (an override of _download_file
        // calling this one): the parts run here, one after another, so the
        // transfer's requests stay as many as its threads.
        Work here(nullptr, 0);
        here.spawn(std::move(parts));
        return;
    }
    with_transfers(self, [&](Transfers& transfers) { transfers.spawn(std::move(parts)); });
}

}  // namespace ostrel
