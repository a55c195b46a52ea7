// The transfer pool (transfers.cpp): the per-object calls of directory
// transfers and the parts of big objects, as tasks run at once or on a pool
// of transfer threads. Tasks are made, run, dropped and destroyed with the
// GIL; the pool's opener waits for them before it returns or raises.
#pragma once

#include "digests.hpp"
#include "ostrel.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace ostrel {

class TransferPool;
class Work;

// One piece of work of a transfer: a per-object call of a directory
// transfer, a part of a ranged download. Made, run, dropped and destroyed
// with the GIL.
class Task {
public:
    Task() = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    virtual ~Task() = default;
    // Does the work; PyErrOccurred when it failed. `work` takes the tasks
    // that this one brings about.
    virtual void run(Work& work) = 0;
    // Called instead of run() when the transfer stops before the task starts.
    virtual void drop() noexcept {}
};

using Tasks = std::vector<std::unique_ptr<Task>>;

// A task that is one part of a `Whole` its parts share (a ranged download,
// a multipart upload): it tells the whole, once, that it ended and whether
// it was done, also when it fails or is dropped. The whole's
// part_ended(bool done) may raise; when the part is dropped, that is dropped.
template <typename Whole>
class PartOf : public Task {
public:
    explicit PartOf(std::shared_ptr<Whole> whole) noexcept : whole_(std::move(whole)) {}

    void drop() noexcept override {
        tavrin::PendingError pending;
        try {
            end(false);
        } catch (const tavrin::PyErrOccurred&) {
            PyErr_Clear();
        }
        pending.restore();
    }

protected:
    Whole& whole() const noexcept { return *whole_; }

    // Runs body(), which returns whether the part is done, then ends the part.
    template <typename Body>
    void run_part(Body&& body) {
        bool done = false;
        try {
            done = body();
        } catch (const tavrin::PyErrOccurred&) {
            end(false);
            throw;
        }
        end(done);
    }

private:
    void end(bool done) {
        if (!whole_) return;
        std::shared_ptr<Whole> whole = std::move(whole_);
        whole->part_ended(done);
    }

    std::shared_ptr<Whole> whole_;  // until the part has ended
};

// What a running task sees of its transfer.
class Work {
public:
    Work(TransferPool* pool, unsigned long long sequence) noexcept : pool_(pool), sequence_(sequence) {}

    // Runs `tasks` as part of the task under way: on the pool, ahead of the
    // calls waiting there and with no bound on their number, where their
    // failures count as this task's; or, without a pool, one after another
    // now, where the first failure drops the rest and is raised.
    void spawn(Tasks tasks);

    // True once the transfer is stopping (a failure, Ctrl-C): a task that
    // takes long may end early; what it leaves undone it treats as dropped.
    bool stopping() const noexcept;

private:
    TransferPool* pool_;
    unsigned long long sequence_;
};

// The per-object calls of one directory transfer (_upload_dir,
// _download_dir). They run at once on the caller's thread unless a pool of
// transfer threads serves this thread: the outermost directory transfer of a
// client whose `workers` is 2 or more opens one, the calls nested in it on
// the same thread share it, and it is shut down before the outermost call
// returns or raises. Use it through with_transfers().
class Transfers {
public:
    explicit Transfers(PyObject* self);
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;
    ~Transfers();

    // self.<method>(*args), the last len(kwnames) of args by keyword: now,
    // or handed to the pool once it has a free place (at most twice as many
    // calls as threads wait or run). Raises the failure of the earliest
    // failed call handed out, once there is one.
    void call(PyObject* self, PyObject* method, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

    // The same for a task of our own.
    void run(std::unique_ptr<Task> task);

    // Hands `tasks` to the pool this call opened, at once and with no bound
    // on their number (the parts of one download); without a pool of its
    // own, runs them one after another now.
    void spawn(Tasks tasks);

    // True when the calls go to a pool of transfer threads.
    bool pooled() const noexcept { return pool_ != nullptr; }

    // True when this thread is one of a pool's transfer threads.
    static bool on_transfer_thread();

    // Ends the directory transfer; `failed`: it is ending by an exception.
    // The pool's opener stops handing out on failure, waits for the calls
    // under way, shuts the pool down, and raises the exception of the
    // failed call handed out first, else the transfer's own (the one set,
    // or a KeyboardInterrupt taken while waiting).
    void finish(bool failed);

private:
    // Stops on `error`, waits for the calls under way, shuts the pool down;
    // the exception of the failed call handed out first, if any.
    Ref shut_down(Ref& error) noexcept;

    Ref capsule_;                   // owns the pool serving this thread, if any
    TransferPool* pool_ = nullptr;
    bool opener_ = false;           // this call opened the pool and must shut it down
};

// Runs body(transfers) as one directory transfer (see Transfers).
template <typename Body>
void with_transfers(PyObject* self, Body&& body) {
    Transfers transfers(self);
    try {
        body(transfers);
    } catch (...) {
        transfers.finish(true);
        throw;
    }
    transfers.finish(false);
    Digests::flush(self);  // what the transfers learnt of their files
}

}  // namespace ostrel
