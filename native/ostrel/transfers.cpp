// The per-object calls of directory transfers, at once or on a pool of
// transfer threads.
//
// The pool is the standard library's ThreadPoolExecutor (imported on first
// use), running one long-lived serve() loop per thread; the calls are handed
// to those loops through a queue of our own, so that handing out, the bound
// on calls waiting or running, dropping the calls not yet started and
// waiting for the rest are exact and need no Python code between them. The
// caller's thread waits without the GIL and checks for signals (Ctrl-C)
// every few milliseconds.
#include "transfers.hpp"

#include "config.hpp"

#include "tavrin/gil.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::GilReleased;
using tavrin::kSignalCheck;
using tavrin::require;

constexpr const char* kCapsuleName = "tavrin_minio.ostrel.TransferPool";

// Keeps the first of the errors raised while a transfer ends.
void keep_error(Ref& error) noexcept {
    tavrin::PendingError pending;
    if (!error) error = pending.take();
}

}  // namespace

// self.<method>(*args) as a task: the per-object call of a directory transfer.
class MethodCall final : public Task {
public:
    // `call`: a tuple (method name, keyword names or None, self, *arguments).
    explicit MethodCall(Ref call) noexcept : call_(std::move(call)) {}

    void run(Work&) override {
        PyObject* const* items = &PyTuple_GET_ITEM(call_.get(), 0);
        PyObject* kwnames = items[1] == Py_None ? nullptr : items[1];
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        const Py_ssize_t positional = PyTuple_GET_SIZE(call_.get()) - 2 - keywords;
        require(PyObject_VectorcallMethod(items[0], items + 2, static_cast<std::size_t>(positional), kwnames));
    }

private:
    Ref call_;
};

class TransferPool {
public:
    explicit TransferPool(long threads) : threads_(threads), limit_(2 * static_cast<std::size_t>(threads)) {}
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;
    ~TransferPool() { drop_all(queue_); }  // with the GIL, from the capsule

    Ref executor;  // the ThreadPoolExecutor, until shut down
    Ref serve;     // serve() of this pool as a Python callable, until shut down

    bool stopped() const noexcept { return stopped_; }

    // Raises the exception of the earliest failed call handed out, if any.
    void raise_if_failed() {
        if (failure_) tavrin::PendingError(failure_).reraise();
    }

    // Waits, without the GIL, until fewer than limit_ calls wait or run. A
    // signal that came meanwhile (Ctrl-C) is raised before anything else.
    void wait_for_place() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (in_flight_ < limit_) return;
        }
        for (bool free = false; !free;) {
            {
                GilReleased released;
                std::unique_lock<std::mutex> lock(mutex_);
                free = finished_.wait_for(lock, kSignalCheck, [&] { return in_flight_ < limit_ || stopped_; });
            }
            if (PyErr_CheckSignals() < 0) throw tavrin::PyErrOccurred();
        }
    }

    // Queues `task` behind the others, as the next call handed out.
    void hand_out(std::unique_ptr<Task> task) {
        Tasks one;
        one.push_back(std::move(task));
        enqueue(std::move(one), next_sequence_++, false);
    }

    // Queues `tasks` ahead of the others, in their order, as parts of the
    // call handed out as `sequence`, or (no sequence) as one new call.
    void spawn(Tasks tasks, const unsigned long long* sequence) {
        enqueue(std::move(tasks), sequence ? *sequence : next_sequence_++, true);
    }

    // No further call starts: the queued ones are dropped.
    void stop() noexcept {
        stopped_ = true;
        std::deque<Job> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped.swap(queue_);
            in_flight_ -= dropped.size();
        }
        finished_.notify_all();
        drop_all(dropped);
    }

    // Waits, without the GIL, until no call waits or runs. A signal's
    // exception stops the pool and is kept in `error` unless one is there.
    void wait_idle(Ref& error) noexcept {
        for (;;) {
            bool idle;
            {
                GilReleased released;
                std::unique_lock<std::mutex> lock(mutex_);
                idle = finished_.wait_for(lock, kSignalCheck, [&] { return in_flight_ == 0; });
            }
            if (idle) return;
            if (PyErr_CheckSignals() < 0) {
                keep_error(error);
                stop();
            }
        }
    }

    // Lets the serve() loops return once the queue is empty.
    void close() noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        queued_.notify_all();
    }

    // The exception of the earliest failed call, with the traceback it had
    // on its own thread; empty when every call succeeded.
    Ref take_failure() noexcept {
        if (failure_) {
            PyObject* traceback = failure_traceback_ ? failure_traceback_.get() : Py_None;
            if (PyException_SetTraceback(failure_.get(), traceback) < 0) PyErr_Clear();
        }
        failure_traceback_.reset();
        return std::move(failure_);
    }

    // The loop of one transfer thread, entered with the GIL: runs queued
    // calls until the pool is closed.
    void run() {
        for (;;) {
            Job job;
            {
                GilReleased released;
                std::unique_lock<std::mutex> lock(mutex_);
                queued_.wait(lock, [&] { return closed_ || !queue_.empty(); });
                if (queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            if (stopped_) {
                job.task->drop();
            } else {
                perform(job);
            }
            job.task.reset();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                --in_flight_;
            }
            finished_.notify_all();
        }
    }

private:
    struct Job {
        unsigned long long sequence = 0;  // hand-out order of the call it belongs to
        std::unique_ptr<Task> task;
    };

    void enqueue(Tasks tasks, unsigned long long sequence, bool ahead) {
        if (tasks.empty()) return;
        std::deque<Job> jobs;
        for (auto& task : tasks) jobs.push_back(Job{sequence, std::move(task)});
        const std::size_t count = jobs.size();
        std::size_t busy;  // threads that the calls queued or running could keep busy
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.insert(ahead ? queue_.begin() : queue_.end(), std::make_move_iterator(jobs.begin()),
                          std::make_move_iterator(jobs.end()));
            in_flight_ += count;
            busy = std::min(in_flight_, static_cast<std::size_t>(threads_));
        }
        if (count == 1) {
            queued_.notify_one();
        } else {
            queued_.notify_all();
        }
        // One more thread for each call that no thread would take now.
        while (static_cast<std::size_t>(started_) < busy) {
            ++started_;
            call_method(executor.get(), state().n.submit.get(), {serve.get()});
        }
    }

    void perform(const Job& job) noexcept {
        Work work(this, job.sequence);
        try {
            job.task->run(work);
            return;
        } catch (const tavrin::PyErrOccurred&) {
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a transfer");
        }
        tavrin::PendingError error;
        stopped_ = true;
        if (!failure_ || job.sequence < failure_sequence_) {
            failure_ = error.take();
            failure_traceback_ = Ref::steal(PyException_GetTraceback(failure_.get()));
            failure_sequence_ = job.sequence;
        }
    }

    static void drop_all(std::deque<Job>& jobs) noexcept {
        for (Job& job : jobs) {
            job.task->drop();
            job.task.reset();
        }
    }

    const long threads_;
    const std::size_t limit_;
    long started_ = 0;                      // serve() loops submitted (GIL)
    unsigned long long next_sequence_ = 0;  // (GIL)
    std::atomic<bool> stopped_{false};
    Ref failure_;  // of the failed call handed out first (GIL)
    Ref failure_traceback_;
    unsigned long long failure_sequence_ = 0;

    std::mutex mutex_;
    std::condition_variable queued_;    // a call queued, or the pool closed
    std::condition_variable finished_;  // a call done or dropped, or the pool stopped
    std::deque<Job> queue_;             // (mutex_)
    std::size_t in_flight_ = 0;         // calls queued or running (mutex_)
    bool closed_ = false;               // (mutex_)
};

void Work::spawn(Tasks tasks) {
    if (pool_ != nullptr) {
        pool_->spawn(std::move(tasks), &sequence_);
        return;
    }
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        try {
            tasks[i]->run(*this);
        } catch (...) {
            for (std::size_t rest = i + 1; rest < tasks.size(); ++rest) tasks[rest]->drop();
            throw;
        }
    }
}

bool Work::stopping() const noexcept { return pool_ != nullptr && pool_->stopped(); }

namespace {

TransferPool* pool_of(PyObject* capsule) {
    return static_cast<TransferPool*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

void destroy_pool(PyObject* capsule) { delete pool_of(capsule); }

// The thread-state dict entry that marks a transfer thread while it serves.
class TransferThread {
public:
    TransferThread() : dict_(thread_dict()) { require(PyDict_SetItem(dict_, state().worker_key.get(), Py_True)); }
    TransferThread(const TransferThread&) = delete;
    TransferThread& operator=(const TransferThread&) = delete;
    ~TransferThread() {
        tavrin::PendingError pending;
        if (PyDict_DelItem(dict_, state().worker_key.get()) < 0) PyErr_Clear();
        pending.restore();
    }

private:
    PyObject* dict_;  // borrowed: owned by the thread state, which outlives the loop
};

PyObject* serve(PyObject* capsule, PyObject*) noexcept {
    return tavrin::guarded([&] {
        TransferThread marked;
        pool_of(capsule)->run();
        return Ref::borrow(Py_None);
    });
}

PyMethodDef serve_def = {"serve", serve, METH_NOARGS, nullptr};

}  // namespace

Transfers::Transfers(PyObject* self) {
    State& s = state();
    PyObject* dict = thread_dict();
    if (PyObject* found = PyDict_GetItemWithError(dict, s.pool_key.get())) {
        capsule_ = Ref::borrow(found);
        pool_ = pool_of(found);
        return;
    }
    if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
    const long workers = configured_workers(self);
    if (workers < 2) return;

    Ref futures = require(PyImport_ImportModule("concurrent.futures"));
    Ref count = require(PyLong_FromLong(workers));
    Ref executor = call_method(futures.get(), s.n.ThreadPoolExecutor.get(), {count.get(), s.thread_prefix.get()},
                               s.kw_executor.get());
    auto* pool = new TransferPool(workers);
    capsule_ = Ref::steal(PyCapsule_New(pool, kCapsuleName, destroy_pool));
    if (!capsule_) {
        delete pool;
        throw tavrin::PyErrOccurred();
    }
    try {
        pool->executor = std::move(executor);
        pool->serve = require(PyCFunction_New(&serve_def, capsule_.get()));
        require(PyDict_SetItem(dict, s.pool_key.get(), capsule_.get()));
    } catch (...) {
        pool->serve.reset();  // it holds the capsule; no thread has started yet
        pool->executor.reset();
        throw;
    }
    pool_ = pool;
    opener_ = true;
}

Transfers::~Transfers() {
    if (!opener_) return;  // finish() has run
    tavrin::PendingError pending;  // keep the exception under way
    Ref error;
    shut_down(error);
    pending.restore();
}

void Transfers::call(PyObject* self, PyObject* method, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    if (pool_ == nullptr) {
        call_method(self, method, args, kwnames);
        return;
    }
    Ref job = require(PyTuple_New(static_cast<Py_ssize_t>(3 + args.size())));
    PyTuple_SET_ITEM(job.get(), 0, Py_NewRef(method));
    PyTuple_SET_ITEM(job.get(), 1, Py_NewRef(kwnames ? kwnames : Py_None));
    PyTuple_SET_ITEM(job.get(), 2, Py_NewRef(self));
    Py_ssize_t i = 3;
    for (PyObject* arg : args) PyTuple_SET_ITEM(job.get(), i++, Py_NewRef(arg));
    run(std::make_unique<MethodCall>(std::move(job)));
}

void Transfers::run(std::unique_ptr<Task> task) {
    if (pool_ == nullptr) {
        Work inline_work(nullptr, 0);
        task->run(inline_work);
        return;
    }
    pool_->raise_if_failed();
    pool_->wait_for_place();
    pool_->raise_if_failed();
    pool_->hand_out(std::move(task));
}

void Transfers::spawn(Tasks tasks) {
    if (!opener_) {  // a pool this call did not open cannot be waited for here
        Work inline_work(nullptr, 0);
        inline_work.spawn(std::move(tasks));
        return;
    }
    pool_->raise_if_failed();
    pool_->spawn(std::move(tasks), nullptr);
}

bool Transfers::on_transfer_thread() {
    PyObject* marked = PyDict_GetItemWithError(thread_dict(), state().worker_key.get());
    if (marked == nullptr && PyErr_Occurred()) throw tavrin::PyErrOccurred();
    return marked != nullptr;
}

void Transfers::finish(bool failed) {
    if (!opener_) return;
    Ref error = tavrin::PendingError().take();
    if (failed) pool_->stop();
    Ref failure = shut_down(error);
    if (failure) error = std::move(failure);
    if (error) tavrin::PendingError(std::move(error)).reraise();
}

Ref Transfers::shut_down(Ref& error) noexcept {
    opener_ = false;
    // Calls made from here on, on this thread, are not part of this transfer.
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr || PyDict_DelItem(dict, state().pool_key.get()) < 0) PyErr_Clear();
    if (error) pool_->stop();
    pool_->wait_idle(error);
    pool_->close();
    // The threads are idle and leave their loops; joining them cannot take
    // long, but a signal may still interrupt it: then join again.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (Ref::steal(PyObject_CallMethodOneArg(pool_->executor.get(), state().n.shutdown.get(), Py_True))) break;
        keep_error(error);
    }
    pool_->executor.reset();
    pool_->serve.reset();  // it holds the capsule
    return pool_->take_failure();
}

}  // namespace ostrel
