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
//
// Unless `verify` is off, the temporary file is checked against the
// object's ETag before it replaces the target. Checking does not change the
// ranges: the content is hashed as they arrive (hashing.hpp), each part of
// a multipart ETag of a known part size as soon as its bytes are written,
// a plain ETag's content as far as it is written without a gap; only what
// is left at the end is read from the file. An ETag of no known part size
// is judged from the file once complete. Content that does not match is
// thrown away and every range fetched again, an attempt that counts as a
// broken download; after kStreamAttempts such attempts in a row the
// download raises IntegrityError.
#include "ranges.hpp"

#include "config.hpp"
#include "digests.hpp"
#include "downloads.hpp"
#include "hashing.hpp"
#include "progress.hpp"
#include "retries.hpp"
#include "transfers.hpp"
#include "verify.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

constexpr long long kBlock = 1 * kMiB;  // the most read from a response at a time
constexpr int kTempNameAttempts = 8;    // tries at a temporary name nobody has taken

// One ranged download under way, shared by its parts.
class RangedObject : public std::enable_shared_from_this<RangedObject> {
public:
    // `progress`: counts its bytes; with `count_done`, the object as done
    // once all of them are written. `verify`: the content is checked.
    RangedObject(PyObject* client, PyObject* bucket_name, PyObject* object_name, Ref target, long long size,
                 Progress progress, bool count_done, bool verify)
        : client_(Ref::borrow(client)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(Ref::borrow(object_name)),
          target_(std::move(target)),
          size_(size),
          range_(part_size(size)),
          progress_(std::move(progress)),
          count_done_(count_done),
          verify_(verify) {}

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

    // From the object's `stat`: the ETag every part must match (and the
    // content, when checked), the ranges' size, and the temporary file.
    void start(PyObject* stat) {
        State& s = state();
        Ref etag = getattr(stat, s.n.etag.get());
        headers_ = require(PyDict_New());
        Ref quoted = concat({s.quote.get(), etag.get(), s.quote.get()});
        require(PyDict_SetItem(headers_.get(), s.if_match.get(), quoted.get()));
        if (verify_) {
            expected_ = Expected::of_stat(stat);
            // The ranges stay those of an unchecked download; the content is
            // hashed as they arrive, in the parts of the first known part
            // size (none known: read once more at the end).
            const long long parts = expected_ ? expected_.tag().parts : 0;
            if (expected_ && parts == 0) {
                hashing_ = true;
            } else if (expected_) {
                const std::vector<long long> sizes = part_sizes(size_, parts);
                hashing_ = !sizes.empty();
                if (hashing_) cut_ = sizes.front();
            }
        }
        create_temporary(global(s.n.os.get()).get());
        if (progress_) progress_.announce(size_);
    }

    // The parts, in order, of range_ bytes each.
    Tasks parts(const std::shared_ptr<RangedObject>& self);

    // A part ended: `done` when all its bytes are written. The last part to
    // end finishes the object: checks it (when verified) and replaces the
    // target, or starts over (restarting()); a failure to replace the
    // target, or IntegrityError once the attempts ran out, is raised.
    void part_ended(bool done) {
        if (!done) failed_ = true;
        if (--outstanding_ > 0) return;
        if (failed_) {
            discard();
            return;
        }
        if (expected_) {
            bool matches = false;
            try {
                matches = content_matches();
            } catch (const tavrin::PyErrOccurred&) {
                discard();  // a check that failed proves nothing
                throw;
            }
            if (!matches) return;
        }
        call_method(global(state().n.os.get()).get(), state().n.replace.get(), {temp_.get(), target_.get()});
        temp_.reset();  // it is the target now
        if (expected_ && kept_) kept_->written(target_.get(), expected_.etag());
        if (count_done_ && progress_) progress_.file_done(object_name_.get());
    }

    // Where a checked download keeps the ETag of what it wrote.
    void keep_digests(PyObject* self) { kept_ = std::make_unique<Digests>(self); }

    // True once, after the content did not match and a new temporary file
    // was made: every range is to be fetched again (parts()).
    bool restarting() noexcept { return std::exchange(restart_, false); }

    // Writes the bytes [offset + reached, offset + length) of the object at
    // their place in the temporary file; `reached` grows with each block
    // written, and the hasher (when set) takes each block. Range `index`'s bytes
    // count as progress once, beyond what earlier attempts counted. Stops
    // early (false) when the transfer is stopping.
    bool fetch(Work& work, std::size_t index, long long offset, long long length, long long& reached);

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

    // Checks the finished temporary file against the object's ETag: true
    // when it matches or cannot be checked. Otherwise it is removed, and
    // either IntegrityError raised (the attempts ran out) or, after the
    // wait of a counted attempt, a new temporary file made to start over.
    bool content_matches() {
        Ref computed;
        std::vector<long long> tried;
        Verdict verdict = Verdict::kMismatch;
        if (hasher_) {
            Ref digest = hasher_->finish(temp_.get());
            Ref expected = tavrin::text(expected_.tag().md5.c_str());
            if (require(PyObject_RichCompareBool(digest.get(), expected.get(), Py_EQ))) return true;
            computed = shown(digest, expected_.tag().parts);
            tried.push_back(cut_);  // the object's parts may differ in size: the full check decides
        }
        Ref found;
        if (expected_.tag().parts > 0 || !hasher_) {
            // Parts of another size, or of sizes the server names.
            verdict = judge(client_.get(), bucket_name_.get(), object_name_.get(), expected_, size_,
                            [&](std::vector<Cut>& cuts) { return feed_file(temp_.get(), size_, cuts); }, found, tried);
        }
        if (verdict != Verdict::kMismatch) return true;
        if (found) computed = found;
        discard();
        if (++failures_ >= kStreamAttempts) {
            raise_integrity_error(bucket_name_.get(), object_name_.get(), expected_, computed.get());
        }
        stream_retry_pause(failures_);
        create_temporary(global(state().n.os.get()).get());
        failed_ = false;
        restart_ = true;
        return false;
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
    long long range_;  // the bytes of each range but the last
    Progress progress_;
    bool count_done_;
    bool verify_;
    Expected expected_;              // set when the content is checked
    std::unique_ptr<Digests> kept_;  // the digest cache
    bool hashing_ = false;           // the content is hashed as the ranges arrive
    long long cut_ = 0;              // in parts of this size (0: a plain ETag)
    std::unique_ptr<RangeHasher> hasher_;  // of the attempt under way
    std::vector<long long> counted_;    // bytes of each range counted as progress
    std::size_t outstanding_ = 0;  // parts not yet ended
    bool failed_ = false;
    int failures_ = 0;     // attempts in a row whose content did not match
    bool restart_ = false;
};

bool RangedObject::fetch(Work& work, std::size_t index, long long offset, long long length, long long& reached) {
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
                if (hasher_) {
                    call_method(file.get(), s.n.flush.get(), {});  // the hasher may read it from the file
                    hasher_->written(index, block.get(), offset + reached, got, temp_.get());
                }
                reached += got;
                if (progress_ && reached > counted_[index]) {
                    progress_.add_bytes(object_name_.get(), reached - counted_[index]);
                    counted_[index] = reached;
                }
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

// One part of a ranged download: range `index`. The part that finds the
// object's content not matching hands out the parts of the next attempt.
class RangePart final : public PartOf<RangedObject> {
public:
    RangePart(std::shared_ptr<RangedObject> object, std::size_t index, long long offset, long long length)
        : PartOf(std::move(object)), index_(index), offset_(offset), length_(length) {}

    void run(Work& work) override {
        std::shared_ptr<RangedObject> object = whole().shared_from_this();
        run_part([&] {
            bool done = false;
            long long reached = 0;
            with_stream_retries([&](long long& written) {
                const long long before = reached;
                try {
                    done = object->fetch(work, index_, offset_, length_, reached);
                } catch (const tavrin::PyErrOccurred&) {
                    written = reached - before;
                    throw;
                }
                return Ref();
            });
            return done;
        });
        if (object->restarting()) work.spawn(object->parts(object));
    }

private:
    std::size_t index_;
    long long offset_;
    long long length_;
};

Tasks RangedObject::parts(const std::shared_ptr<RangedObject>& self) {
    Tasks tasks;
    for (long long offset = 0; offset < size_; offset += range_) {
        tasks.push_back(std::make_unique<RangePart>(self, tasks.size(), offset, std::min(range_, size_ - offset)));
    }
    outstanding_ = tasks.size();
    if (hashing_) hasher_ = std::make_unique<RangeHasher>(size_, range_, cut_);
    counted_.resize(tasks.size(), 0);
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
                                                     Ref(target_), size_, progress_, true, configured_verify(self_.get()));
        object->check_target();  // before the request, as the client library's file download
        object->keep_digests(self_.get());
        Ref stat = call_method(client.get(), state().n.stat_object.get(), {bucket_name_.get(), object_name_.get()});
        object->start(stat.get());
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
        Ref checked = fetch_file(engine(self_.get()).get(), bucket_name_.get(), object_name_.get(), target_.get(),
                                 progress_, configured_verify(self_.get()));
        if (checked) Digests(self_.get()).written(target_.get(), checked.get());
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
                                                 tavrin::as_long_long(getattr(stat, s.n.size.get()).get()), progress, false,
                                                 configured_verify(self));
    object->check_target();
    object->keep_digests(self);
    object->start(stat);
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
