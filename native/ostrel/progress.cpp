// Progress of transfers: per top-level call a tracker counts files and
// bytes and hands tavrin_minio.Progress records to the configured callable
// (or to the terminal bar of progress=True): the first once the totals are
// known, then at most one every kRecordInterval, and the last when the call
// returns or raises.
//
// The counters are changed with the GIL only and need no lock of their own.
// The callable may release the GIL, so no thread may wait for another's
// record while holding it: a thread that has a record to hand over while
// another thread is in the callable leaves its record out instead (the
// counters only grow, so a later record carries the news). The callable is
// thus never called by two threads at once, and every record it gets
// counts at least as much as the one before.
#include "progress.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace ostrel {

namespace {

using tavrin::require;

constexpr const char* kCapsuleName = "tavrin_minio.ostrel.Tracker";
constexpr auto kRecordInterval = std::chrono::milliseconds(100);
using Clock = std::chrono::steady_clock;

}  // namespace

class Tracker {
public:
    Tracker(Ref sink, Ref record_type, Ref operation, long long files_total) noexcept
        : sink_(std::move(sink)),
          record_type_(std::move(record_type)),
          operation_(std::move(operation)),
          name_(Ref::borrow(state().empty.get())),
          files_total_(files_total) {}

    void set_totals(long long files, long long bytes) noexcept {
        files_total_ = std::max(files_total_, files);
        bytes_total_ = std::max(bytes_total_, bytes);
    }

    // The first record, unless it has been handed over.
    void begin() {
        if (begun_) return;
        begun_ = true;
        deliver(false);
    }

    void file_met() noexcept { files_total_ = std::max(files_total_, ++files_met_); }

    void announce(long long bytes) {
        bytes_met_ += std::max(bytes, 0LL);
        bytes_total_ = std::max(bytes_total_, bytes_met_);
        begin();
    }

    void add_bytes(PyObject* name, long long bytes) {
        if (bytes <= 0) return;
        begin();
        bytes_done_ += bytes;
        bytes_total_ = std::max(bytes_total_, bytes_done_);
        changed(name);
    }

    void file_done(PyObject* name) {
        begin();
        files_total_ = std::max(files_total_, ++files_done_);
        changed(name);
    }

    void file_skipped(PyObject* name, long long bytes) {
        begin();
        ++skipped_;
        bytes_met_ += bytes;
        bytes_done_ += bytes;
        bytes_total_ = std::max(bytes_total_, std::max(bytes_met_, bytes_done_));
        files_total_ = std::max(files_total_, ++files_done_);
        changed(name);
    }

    // The last record (after the first, if that is still to come).
    void finish() {
        begin();
        deliver(true);
    }

private:
    // A record about `name`, unless one was handed over less than
    // kRecordInterval ago or another thread is handing one over.
    void changed(PyObject* name) {
        name_ = Ref::borrow(name);
        if (delivering_ || Clock::now() - last_ < kRecordInterval) return;
        deliver(false);
    }

    void deliver(bool finished) {
        Ref counts[] = {require(PyLong_FromLongLong(files_done_)), require(PyLong_FromLongLong(files_total_)),
                        require(PyLong_FromLongLong(bytes_done_)), require(PyLong_FromLongLong(bytes_total_)),
                        require(PyLong_FromLongLong(skipped_))};
        Ref record = tavrin::call(record_type_.get(),
                                  {operation_.get(), name_.get(), counts[0].get(), counts[1].get(), counts[2].get(),
                                   counts[3].get(), counts[4].get(), finished ? Py_True : Py_False});
        delivering_ = true;
        last_ = Clock::now();
        Ref result = Ref::steal(PyObject_CallOneArg(sink_.get(), record.get()));
        delivering_ = false;
        if (!result) throw tavrin::PyErrOccurred();
    }

    const Ref sink_;         // the callable, or the bar
    const Ref record_type_;  // tavrin_minio.Progress
    const Ref operation_;
    Ref name_;               // of the object the latest change was about
    long long files_done_ = 0;
    long long files_total_;
    long long bytes_done_ = 0;
    long long bytes_total_ = 0;
    long long skipped_ = 0;
    long long files_met_ = 0;  // files the walk met
    long long bytes_met_ = 0;  // lengths announced and files skipped
    bool begun_ = false;       // the first record has been handed over
    bool delivering_ = false;  // a thread is in the callable
    Clock::time_point last_{};
};

namespace {

Tracker* tracker_of(PyObject* capsule) {
    return static_cast<Tracker*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

void destroy_tracker(PyObject* capsule) { delete tracker_of(capsule); }

// The tracker's entry in this thread's state dict, if it has one.
void leave_thread() noexcept {
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr || PyDict_DelItem(dict, state().progress_key.get()) < 0) PyErr_Clear();
}

// ------------------------------------------------------------- the hook
// What the client library gets as `progress` for one object's call: it calls
// set_meta(object_name=, total_length=) once the length is known, then
// update(length) as it reads or writes bytes. A call made again after a
// broken stream starts over from 0; only what goes beyond the most bytes
// this object has reported is counted.

struct Hook {
    PyObject_HEAD
    PyObject* capsule;  // of the tracker
    PyObject* name;     // of the object
    long long seen;     // bytes reported by the current call
    long long most;     // the most bytes reported by one call
    bool announced;     // its length has been counted
};

Tracker& hook_tracker(PyObject* self) {
    Tracker* tracker = tracker_of(reinterpret_cast<Hook*>(self)->capsule);
    if (tracker == nullptr) throw tavrin::PyErrOccurred();
    return *tracker;
}

constexpr Signature<2> kSetMeta{"set_meta", {"object_name", "total_length"}, 2};

PyObject* hook_set_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return tavrin::guarded([&] {
        Args<2> a(kSetMeta, args, nargsf, kwnames);
        const long long length = tavrin::as_long_long(a[1]);
        Hook* hook = reinterpret_cast<Hook*>(self);
        hook->seen = 0;
        if (!hook->announced) {
            hook->announced = true;
            hook_tracker(self).announce(length);
        }
        return Ref::borrow(Py_None);
    });
}

PyObject* hook_update(PyObject* self, PyObject* length) noexcept {
    return tavrin::guarded([&] {
        Hook* hook = reinterpret_cast<Hook*>(self);
        hook->seen += tavrin::as_long_long(length);
        if (hook->seen > hook->most) {
            const long long grown = hook->seen - hook->most;
            hook->most = hook->seen;
            hook_tracker(self).add_bytes(hook->name, grown);
        }
        return Ref::borrow(Py_None);
    });
}

}  // namespace

void restart_hook(PyObject* hook) noexcept { reinterpret_cast<Hook*>(hook)->seen = 0; }

namespace {

void hook_dealloc(PyObject* self) {
    Hook* hook = reinterpret_cast<Hook*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(hook->capsule);
    Py_CLEAR(hook->name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef hook_methods[] = {
    {"set_meta", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&hook_set_meta)),
     METH_FASTCALL | METH_KEYWORDS, "set_meta(object_name, total_length): the object's length is known"},
    {"update", hook_update, METH_O, "update(length): length more bytes were read or written"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hook_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&hook_dealloc)},
    {Py_tp_methods, hook_methods},
    {Py_tp_doc, const_cast<char*>("Counts one object's bytes for a transfer's progress records.")},
    {0, nullptr},
};

PyType_Spec hook_spec = {"tavrin_minio.ostrel.ProgressHook", static_cast<int>(sizeof(Hook)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, hook_slots};

}  // namespace

void prepare_progress(State& s) { s.hook_type = require(PyType_FromSpec(&hook_spec)); }

Ref progress_from(PyObject* value) {
    if (value == Py_None || value == Py_False) return Ref();
    if (value == Py_True) {
        if (Ref tqdm = Ref::steal(PyImport_ImportModule("tqdm"))) return Ref::borrow(value);
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw tavrin::PyErrOccurred();
        tavrin::PendingError missing;
        PyErr_SetString(PyExc_ValueError,
                        "progress=True draws its bar with tqdm, which cannot be imported; install it with: "
                        "pip install tqdm");
        tavrin::PendingError refused;
        Ref error = refused.take();
        PyException_SetCause(error.get(), missing.take().release());
        tavrin::PendingError(std::move(error)).reraise();
    }
    if (PyCallable_Check(value)) return Ref::borrow(value);
    PyErr_Format(PyExc_ValueError, "progress must be True, False, None or a callable, not %.200s",
                 Py_TYPE(value)->tp_name);
    throw tavrin::PyErrOccurred();
}

Progress::Progress(Ref capsule) : capsule_(std::move(capsule)), tracker_(tracker_of(capsule_.get())) {
    if (tracker_ == nullptr) throw tavrin::PyErrOccurred();
}

void Progress::file_met() const { tracker_->file_met(); }
void Progress::announce(long long bytes) const { tracker_->announce(bytes); }
void Progress::add_bytes(PyObject* name, long long bytes) const { tracker_->add_bytes(name, bytes); }
void Progress::file_done(PyObject* name) const { tracker_->file_done(name); }
void Progress::file_skipped(PyObject* name, long long bytes) const { tracker_->file_skipped(name, bytes); }

Ref Progress::hook(PyObject* name) const {
    auto* type = reinterpret_cast<PyTypeObject*>(state().hook_type.get());
    Ref made = require(PyType_GenericAlloc(type, 0));  // zeroed
    Hook* hook = reinterpret_cast<Hook*>(made.get());
    hook->capsule = Py_NewRef(capsule_.get());
    hook->name = Py_NewRef(name);
    return made;
}

Progress current_progress() {
    PyObject* found = PyDict_GetItemWithError(thread_dict(), state().progress_key.get());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
        return Progress();
    }
    return Progress(Ref::borrow(found));
}

ProgressCall::ProgressCall(PyObject* self, PyObject* operation, PyObject* subject, long long files_total) {
    State& s = state();
    progress_ = current_progress();
    if (progress_) return;
    // Optional: the configuration a tunnel returns need not carry it.
    Ref config = tavrin::getattr(self, s.n._config.get());
    Ref value = tavrin::optional_getattr(config.get(), s.n.progress.get());
    Ref sink = value ? progress_from(value.get()) : Ref();
    if (!sink) return;
    Ref records = require(PyImport_ImportModule("tavrin_minio._progress"));
    if (sink.get() == Py_True) {
        sink = tavrin::call(tavrin::getattr(records.get(), s.n.Bar.get()).get(), {operation, subject});
    }
    auto* tracker = new Tracker(std::move(sink), tavrin::getattr(records.get(), s.n.Progress.get()),
                                Ref::borrow(operation), files_total);
    Ref capsule = Ref::steal(PyCapsule_New(tracker, kCapsuleName, destroy_tracker));
    if (!capsule) {
        delete tracker;
        throw tavrin::PyErrOccurred();
    }
    require(PyDict_SetItem(thread_dict(), s.progress_key.get(), capsule.get()));
    progress_ = Progress(std::move(capsule));
    owner_ = true;
}

ProgressCall::~ProgressCall() {
    if (!owner_) return;  // finish() has run
    tavrin::PendingError pending;
    leave_thread();
    pending.restore();
}

void ProgressCall::begin(long long files_total, long long bytes_total) {
    if (!owner_) return;
    progress_.tracker_->set_totals(files_total, bytes_total);
    progress_.tracker_->begin();
}

void ProgressCall::finish(bool failed) {
    if (!owner_) return;
    owner_ = false;
    tavrin::PendingError pending;  // the call's own exception, if any
    leave_thread();
    try {
        progress_.tracker_->finish();
    } catch (...) {
        if (!failed) throw;
        PyErr_Clear();  // the call's exception is the one to raise
    }
    pending.restore();
}

ProgressOnThread::ProgressOnThread(const Progress& progress) {
    if (!progress) return;
    PyObject* dict = thread_dict();
    PyObject* key = state().progress_key.get();
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == progress.capsule().get()) return;
    if (found == nullptr && PyErr_Occurred()) throw tavrin::PyErrOccurred();
    previous_ = Ref::borrow(found);
    require(PyDict_SetItem(dict, key, progress.capsule().get()));
    installed_ = true;
}

ProgressOnThread::~ProgressOnThread() {
    if (!installed_) return;
    tavrin::PendingError pending;
    PyObject* dict = PyThreadState_GetDict();
    if (previous_ && dict != nullptr) {
        if (PyDict_SetItem(dict, state().progress_key.get(), previous_.get()) < 0) PyErr_Clear();
    } else {
        leave_thread();
    }
    pending.restore();
}

}  // namespace ostrel
