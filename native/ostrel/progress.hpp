// Progress records of the transfers (progress.cpp). A call of _upload_dir,
// _download_dir, _upload_file or _download_file made while no other is under
// way on its thread is a top-level call: with the `progress` key it owns a
// tracker, which counts files and bytes and hands records to the configured
// callable (or the terminal bar of progress=True). The tracker is kept in the thread-state
// dict, so the calls nested in it on that thread add to it; the tasks of its
// transfer carry it to the transfer threads. Every member is used with the
// GIL, from any thread; whatever hands over a record may raise the
// exception of the callable.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

// Makes the type of the client library's progress objects (at exec).
void prepare_progress(State& s);

class Tracker;

// The `progress` value as used: empty for None and False (no progress),
// else True (a bar; tqdm must be importable) or a callable. ValueError
// naming the key for anything else, and for True without tqdm.
Ref progress_from(PyObject* value);

// A counted reference to the tracker of one top-level call, shared by the
// tasks that report to it; empty when the call reports no progress.
class Progress {
public:
    Progress() noexcept = default;
    explicit Progress(Ref capsule);
    explicit operator bool() const noexcept { return tracker_ != nullptr; }
    const Ref& capsule() const noexcept { return capsule_; }

    // The walk met one more file than the totals may have counted.
    void file_met() const;
    // An object of `bytes` bytes is about to move: its length, once per
    // object. The first one starts a single-object call's records.
    void announce(long long bytes) const;
    // `bytes` more bytes of object `name` moved (stored or written).
    void add_bytes(PyObject* name, long long bytes) const;
    // Object `name` is done.
    void file_done(PyObject* name) const;
    // File `name` of `bytes` bytes was left alone: its content matched.
    void file_skipped(PyObject* name, long long bytes) const;
    // A `progress` object for the client library's call on object `name`:
    // set_meta() announces the length once, update() counts the bytes, of a
    // call made again (a broken stream) only those beyond the most counted.
    Ref hook(PyObject* name) const;

private:
    friend class ProgressCall;
    Ref capsule_;
    Tracker* tracker_ = nullptr;
};

// The call behind `hook` (a Progress::hook() object) starts over from byte 0,
// with its length already announced: what it reports again up to the most
// bytes the object reported is not counted twice.
void restart_hook(PyObject* hook) noexcept;

// The tracker this thread reports to, if any: of the top-level call under
// way on it, or of the task it runs.
Progress current_progress();

// The progress of one reporting call (see above).
class ProgressCall {
public:
    // Joins the tracker this thread reports to; else, when self's
    // configuration asks for progress, opens a tracker for `operation` about
    // `subject` with `files_total` files and owns it.
    ProgressCall(PyObject* self, PyObject* operation, PyObject* subject, long long files_total);
    ProgressCall(const ProgressCall&) = delete;
    ProgressCall& operator=(const ProgressCall&) = delete;
    ~ProgressCall();

    const Progress& progress() const noexcept { return progress_; }
    bool owner() const noexcept { return owner_; }
    // The owner's totals are known: the first record.
    void begin(long long files_total, long long bytes_total);
    // The owner's last record (`failed`: the call is ending by an exception,
    // which the callable's own cannot replace); the tracker leaves the thread.
    void finish(bool failed);

private:
    Progress progress_;
    bool owner_ = false;
};

// Runs body() as the reporting call `call`: its last record follows, also
// when body raises.
template <typename Body>
void with_progress(ProgressCall& call, Body&& body) {
    try {
        body();
    } catch (...) {
        call.finish(true);
        throw;
    }
    call.finish(false);
}

// Makes `progress` the one this thread reports to for its lifetime, unless
// it is already (a task run on a transfer thread).
class ProgressOnThread {
public:
    explicit ProgressOnThread(const Progress& progress);
    ProgressOnThread(const ProgressOnThread&) = delete;
    ProgressOnThread& operator=(const ProgressOnThread&) = delete;
    ~ProgressOnThread();

private:
    bool installed_ = false;
    Ref previous_;  // what the entry held before
};

}  // namespace ostrel
