// Digests kept by file identity, in an SQLite file (the standard library's
// sqlite3 module) opened in WAL mode, so that several processes can share
// it. One store per cache file and process, opened on first use and kept
// open; what the calls record is written in one transaction when a call's
// transfers end (Digests::flush). Entries of files not seen for kForgetNs
// are pruned then, so the file stays bounded by the files in use.
//
// The table holds one row per file identity and way of cutting the content
// (the part size, 0 for the whole, -1 for an ETag a transfer knows), with
// the time the row was written (the racy-entry rule) and the time the file
// was last seen (pruning).
#include "digests.hpp"

#include "config.hpp"
#include "tavrin/gil.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

constexpr long long kSecondNs = 1'000'000'000LL;
// The timestamp tick of the file systems in use: at most 10 ms on Linux
// (jiffies), 15.6 ms on Windows (the system clock's update).
constexpr long long kTickNs = 20'000'000LL;
// File systems whose times are whole seconds (FAT keeps 2 s).
constexpr long long kCoarseTickNs = 2 * kSecondNs;
constexpr long long kForgetNs = 90LL * 24 * 3600 * kSecondNs;
// A file's last-seen time is moved on once it is this old, so that an
// unchanged re-run writes nothing to the cache.
constexpr long long kSeenRefreshNs = 24LL * 3600 * kSecondNs;
constexpr double kBusySeconds = 0.5;  // a lock held by another process is waited for this long

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS digests (dev TEXT NOT NULL, ino TEXT NOT NULL, size INTEGER NOT NULL, "
    "mtime INTEGER NOT NULL, ctime INTEGER NOT NULL, part_size INTEGER NOT NULL, digest TEXT NOT NULL, "
    "recorded INTEGER NOT NULL, seen INTEGER NOT NULL, PRIMARY KEY (dev, ino, part_size, digest))";

long long tick_of(const FileIdentity& identity) {
    const bool whole_seconds = identity.mtime_ns % kSecondNs == 0 && identity.ctime_ns % kSecondNs == 0;
    return whole_seconds ? kCoarseTickNs : kTickNs;
}

// True when a write to the file after `at` cannot keep its identity: `at`
// is a tick past its last change.
bool settled(const FileIdentity& identity, long long at) {
    return std::max(identity.mtime_ns, identity.ctime_ns) + tick_of(identity) <= at;
}

struct Entry {
    FileIdentity identity;
    long long part_size;
    std::string digest;
    long long recorded;
};

struct Written {
    Ref path;
    std::string etag;
    FileIdentity identity;
};

std::string utf8_of(PyObject* text) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) throw tavrin::PyErrOccurred();
    return std::string(data, static_cast<std::size_t>(length));
}

Ref text_of(const std::string& value) {
    return require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// An ETag as the cache keeps it: lower case, without quotes.
std::string plain_etag(PyObject* etag) {
    std::string plain;
    for (char c : utf8_of(etag)) {
        if (c != '"') plain.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return plain;
}

// The os module itself: the cache's own file work is not the transfers'
// (whose `os` is the module global, which may be replaced).
Ref real_os() { return require(PyImport_ImportModule("os")); }

// (dev, ino, size, mtime, ctime) for the queries.
Ref identity_row(const FileIdentity& identity) {
    Ref dev = text_of(identity.dev);
    Ref ino = text_of(identity.ino);
    return require(Py_BuildValue("(OOLLL)", dev.get(), ino.get(), identity.size, identity.mtime_ns, identity.ctime_ns));
}

// The cache file of the user's cache folder: $XDG_CACHE_HOME (an absolute
// path), else ~/.cache; %LOCALAPPDATA% on Windows.
Ref default_cache_path() {
    State& s = state();
    Ref os = real_os();
    Ref path = getattr(os.get(), s.n.path.get());
    Ref variables = getattr(os.get(), s.n.environ_.get());
#ifdef _WIN32
    Ref variable = tavrin::text("LOCALAPPDATA");
    Ref fallback = tavrin::text("~\\AppData\\Local");
#else
    Ref variable = tavrin::text("XDG_CACHE_HOME");
    Ref fallback = tavrin::text("~/.cache");
#endif
    Ref base = call_method(variables.get(), s.n.get.get(), {variable.get()});
    if (!PyUnicode_Check(base.get()) || !tavrin::truth(call_method(path.get(), s.n.isabs.get(), {base.get()}))) {
        base = call_method(path.get(), s.n.expanduser.get(), {fallback.get()});
    }
    Ref folder = tavrin::text("tavrin_minio");
    Ref file = tavrin::text("digests.sqlite3");
    return call_method(path.get(), s.n.join.get(), {base.get(), folder.get(), file.get()});
}

}  // namespace

// One cache file as this process uses it. Stores are never freed: one per
// cache file for the life of the process (its connection is left to the
// process's end). `mutex` guards everything below it; it is only waited
// for without the GIL, since its holder may wait for the GIL in sqlite3.
class DigestStore {
public:
    explicit DigestStore(std::string path) : path_(std::move(path)) {}

    const std::string& path() const noexcept { return path_; }

    std::mutex mutex;
    PyObject* connection = nullptr;  // an sqlite3.Connection, or none yet
    long long pid = 0;               // of the process that opened it
    bool failed = false;             // warned: not used again
    std::vector<Entry> entries;      // to write
    std::vector<Written> written;    // to write once settled
    std::vector<FileIdentity> seen;  // found, last seen over a day ago: their entries are kept

private:
    std::string path_;
};

namespace {

// Holds a store's mutex, waited for without the GIL.
class StoreLock {
public:
    explicit StoreLock(DigestStore& store) : lock_(store.mutex, std::defer_lock) {
        if (!lock_.try_lock()) {
            tavrin::GilReleased released;
            lock_.lock();
        }
    }

private:
    std::unique_lock<std::mutex> lock_;
};

std::mutex stores_mutex;  // guards stores(), touched by no Python call

std::vector<DigestStore*>& stores() {
    static std::vector<DigestStore*>* all = new std::vector<DigestStore*>();
    return *all;
}

DigestStore* store_named(const std::string& path) {
    std::lock_guard<std::mutex> lock(stores_mutex);
    for (DigestStore* store : stores()) {
        if (store->path() == path) return store;
    }
    stores().push_back(new DigestStore(path));
    return stores().back();
}

Ref execute(PyObject* connection, const char* sql, PyObject* parameters = nullptr) {
    Ref statement = tavrin::text(sql);
    PyObject* name = state().n.execute.get();
    if (parameters == nullptr) return call_method(connection, name, {statement.get()});
    return call_method(connection, name, {statement.get(), parameters});
}

Ref execute_many(PyObject* connection, const char* sql, PyObject* rows) {
    Ref statement = tavrin::text(sql);
    return call_method(connection, state().n.executemany.get(), {statement.get(), rows});
}

long long current_pid() {
    return tavrin::as_long_long(call_method(real_os().get(), state().n.getpid.get(), {}).get());
}

// Opens the store's file: its folder made 0700 and the file 0600 when they
// are new, WAL mode, the table.
void open_store(DigestStore& store) {
    State& s = state();
    Ref os = real_os();
    Ref path = text_of(store.path());
    Ref folder = call_method(getattr(os.get(), s.n.path.get()).get(), s.n.dirname.get(), {path.get()});
    Ref owner_only = require(PyLong_FromLong(0700));
    if (tavrin::truth(folder)) {
        Ref mode_keywords = tavrin::kwnames({"mode", "exist_ok"});
        call(getattr(os.get(), s.n.makedirs.get()).get(), {folder.get(), owner_only.get(), Py_True}, mode_keywords.get());
    }
    // Once per cache file and process; the names are macros of the C library.
    Ref flags = require(PyNumber_Or(getattr(os.get(), tavrin::text("O_RDWR").get()).get(),
                                    getattr(os.get(), tavrin::text("O_CREAT").get()).get()));
    Ref file_mode = require(PyLong_FromLong(0600));
    Ref fd = call_method(os.get(), s.n.open.get(), {path.get(), flags.get(), file_mode.get()});
    call_method(os.get(), s.n.close.get(), {fd.get()});

    Ref sqlite3 = require(PyImport_ImportModule("sqlite3"));
    Ref busy = require(PyFloat_FromDouble(kBusySeconds));
    Ref keywords = tavrin::kwnames({"timeout", "check_same_thread", "isolation_level"});
    Ref connection = call(getattr(sqlite3.get(), s.n.connect.get()).get(),
                          {path.get(), busy.get(), Py_False, Py_None}, keywords.get());
    try {
        execute(connection.get(), "PRAGMA journal_mode=WAL");
        execute(connection.get(), "PRAGMA synchronous=NORMAL");
        execute(connection.get(), kSchema);
    } catch (const tavrin::PyErrOccurred&) {
        close_and_reraise(connection.get());
    }
    if (store.connection != nullptr) Py_DECREF(store.connection);
    store.connection = connection.release();
    store.pid = current_pid();
}

// The store is given up for this process: an Exception under way is
// reported once through self's logger and cleared; anything else (an
// interrupt) is raised again.
void give_up(DigestStore& store, PyObject* self) {
    tavrin::PendingError error;
    if (!error.matches(PyExc_Exception)) error.reraise();
    store.failed = true;
    store.entries.clear();
    store.written.clear();
    if (store.connection != nullptr) {
        PyObject* connection = std::exchange(store.connection, nullptr);
        Ref close = tavrin::optional_getattr(connection, state().n.close.get());
        if (close && PyObject_CallNoArgs(close.get()) == nullptr) PyErr_Clear();
        Py_DECREF(connection);
    }
    try {
        Ref message = tavrin::text("摘要缓存不可用，改为读取文件比较内容：");
        Ref cause = error.take();
        Ref path = text_of(store.path());
        Ref subject = concat({path.get(), tavrin::text("：").get(), cause.get()});
        warn_about(self, message.get(), subject.get());
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError warning;
        if (!warning.matches(PyExc_Exception)) warning.reraise();  // a logger that fails fails no transfer
    }
}

// Runs `body` on the store's open connection (opened now when needed, again
// in a forked child); false, after give_up(), when it fails.
template <typename Body>
bool with_connection(DigestStore& store, PyObject* self, Body&& body) {
    if (store.failed) return false;
    try {
        if (store.connection == nullptr || store.pid != current_pid()) open_store(store);
        body(store.connection);
        return true;
    } catch (const tavrin::PyErrOccurred&) {
        give_up(store, self);
        return false;
    }
}

// The writes of the store's entries, in one transaction: each replaces the
// rows of its file's older identities; the files seen are kept; files not
// seen for kForgetNs are forgotten.
void write_entries(PyObject* connection, const std::vector<Entry>& entries, const std::vector<FileIdentity>& seen,
                   long long now) {
    Ref stale = require(PyList_New(0));
    Ref rows = require(PyList_New(0));
    for (const Entry& entry : entries) {
        const FileIdentity& id = entry.identity;
        Ref dev = text_of(id.dev);
        Ref ino = text_of(id.ino);
        Ref digest = text_of(entry.digest);
        Ref old = require(Py_BuildValue("(OOLLL)", dev.get(), ino.get(), id.size, id.mtime_ns, id.ctime_ns));
        require(PyList_Append(stale.get(), old.get()));
        Ref row = require(Py_BuildValue("(OOLLLLOLL)", dev.get(), ino.get(), id.size, id.mtime_ns, id.ctime_ns,
                                        entry.part_size, digest.get(), entry.recorded, now));
        require(PyList_Append(rows.get(), row.get()));
    }
    Ref kept = require(PyList_New(0));
    for (const FileIdentity& id : seen) {
        Ref row = identity_row(id);
        Ref touched = require(Py_BuildValue("(LOO)", now, PyTuple_GET_ITEM(row.get(), 0), PyTuple_GET_ITEM(row.get(), 1)));
        require(PyList_Append(kept.get(), touched.get()));
    }
    Ref horizon = require(Py_BuildValue("(L)", now - kForgetNs));
    execute(connection, "BEGIN IMMEDIATE");
    try {
        execute_many(connection,
                     "DELETE FROM digests WHERE dev = ? AND ino = ? AND NOT (size = ? AND mtime = ? AND ctime = ?)",
                     stale.get());
        execute_many(connection, "INSERT OR REPLACE INTO digests VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", rows.get());
        execute_many(connection, "UPDATE digests SET seen = ? WHERE dev = ? AND ino = ?", kept.get());
        execute(connection, "DELETE FROM digests WHERE seen < ?", horizon.get());
        execute(connection, "COMMIT");
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        Ref rollback = tavrin::text("ROLLBACK");
        if (PyObject* done = PyObject_CallMethod(connection, "execute", "O", rollback.get())) {
            Py_DECREF(done);
        } else {
            PyErr_Clear();
        }
        error.restore();
        throw;
    }
}

// os.lstat(path) when it is a regular file: its identity.
bool regular_identity(PyObject* path, FileIdentity& identity) {
    State& s = state();
    Ref info;
    try {
        info = call_method(real_os().get(), s.n.lstat.get(), {path});
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        if (!error.matches(PyExc_OSError)) error.reraise();
        return false;
    }
    Ref stat = require(PyImport_ImportModule("stat"));
    Ref mode = getattr(info.get(), s.n.st_mode.get());
    if (!tavrin::truth(call_method(stat.get(), s.n.S_ISREG.get(), {mode.get()}))) return false;
    identity = identity_of(path, info.get());
    return true;
}

}  // namespace

Ref digest_cache_from(PyObject* value) {
    if (value == Py_False) return Ref();
    if (value == Py_None || value == Py_True) return Ref::borrow(Py_True);
    if (PyUnicode_Check(value) && PyUnicode_GetLength(value) > 0) return Ref::borrow(value);
    PyErr_Format(PyExc_ValueError, "digest_cache must be True, False, None or the path of a file, not %R", value);
    throw tavrin::PyErrOccurred();
}

FileIdentity identity_of(PyObject* path, PyObject* info) {
    State& s = state();
    FileIdentity identity;
    identity.dev = utf8_of(require(PyObject_Str(getattr(info, s.n.st_dev.get()).get())).get());
    identity.ino = utf8_of(require(PyObject_Str(getattr(info, s.n.st_ino.get()).get())).get());
    identity.size = tavrin::as_long_long(getattr(info, s.n.st_size.get()).get());
    identity.mtime_ns = tavrin::as_long_long(getattr(info, s.n.st_mtime_ns.get()).get());
#ifdef _WIN32
    // st_ctime is the creation time here: the change time comes from the file itself.
    Ref text = require(PyOS_FSPath(path));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {  // a name of no UTF-8 (a lone surrogate): the file is hashed, as without the cache
        PyErr_Clear();
        identity.usable = false;
        return identity;
    }
    const std::string narrow(utf8, static_cast<std::size_t>(size));
    std::wstring wide(narrow.size() + 1, L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, narrow.data(), static_cast<int>(narrow.size()), &wide[0],
                                           static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    FILE_BASIC_INFO basic{};
    BOOL ok = FALSE;
    {
        tavrin::GilReleased released;
        HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            ok = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic);
            CloseHandle(handle);
        }
    }
    if (!ok) {  // not to be opened for its attributes: hashed, as without the cache
        identity.usable = false;
        return identity;
    }
    constexpr long long kEpochIn100ns = 116444736000000000LL;  // 1601-01-01 to 1970-01-01
    identity.ctime_ns = (basic.ChangeTime.QuadPart - kEpochIn100ns) * 100;
#else
    (void)path;
    identity.ctime_ns = tavrin::as_long_long(getattr(info, s.n.st_ctime_ns.get()).get());
#endif
    return identity;
}

Digests::Digests(PyObject* self) : self_(Ref::borrow(self)) {
    Ref value = configured(self, state().n.digest_cache.get());
    Ref path = digest_cache_from(value ? value.get() : Py_None);
    if (!path) return;
    if (path.get() == Py_True) path = default_cache_path();
    DigestStore* store = store_named(utf8_of(path.get()));
    StoreLock lock(*store);
    if (with_connection(*store, self, [](PyObject*) {})) store_ = store;
}

long long Digests::now_ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

std::vector<KnownDigest> Digests::known(const FileIdentity& identity) const {
    std::vector<KnownDigest> found;
    if (store_ == nullptr || !identity.usable) return found;
    bool refresh = false;
    StoreLock lock(*store_);
    with_connection(*store_, self_.get(), [&](PyObject* connection) {
        Ref key = identity_row(identity);
        Ref cursor = execute(connection,
                             "SELECT part_size, digest, recorded, seen FROM digests WHERE dev = ? AND ino = ? "
                             "AND size = ? AND mtime = ? AND ctime = ?",
                             key.get());
        Ref rows = call_method(cursor.get(), state().n.fetchall.get(), {});
        const long long stale = now_ns() - kSeenRefreshNs;
        tavrin::for_each(rows.get(), [&](Ref row) {
            if (tavrin::as_long_long(PyTuple_GET_ITEM(row.get(), 3)) < stale) refresh = true;
            const long long recorded = tavrin::as_long_long(PyTuple_GET_ITEM(row.get(), 2));
            if (!settled(identity, recorded)) return;  // racy: the file may have changed since, in the same tick
            found.push_back(KnownDigest{tavrin::as_long_long(PyTuple_GET_ITEM(row.get(), 0)),
                                        utf8_of(PyTuple_GET_ITEM(row.get(), 1))});
        });
    });
    if (!found.empty() && refresh) store_->seen.push_back(identity);
    return found;
}

void Digests::record(const FileIdentity& identity, long long part_size, const std::string& digest,
                     long long since) const {
    if (store_ == nullptr || !identity.usable) return;
    StoreLock lock(*store_);
    if (!store_->failed) store_->entries.push_back(Entry{identity, part_size, digest, since});
}

void Digests::written(PyObject* path, PyObject* etag) const {
    if (store_ == nullptr || !PyUnicode_Check(path) || !PyUnicode_Check(etag)) return;
    Written file{Ref::borrow(path), plain_etag(etag), {}};
    if (!regular_identity(path, file.identity) || !file.identity.usable) return;
    StoreLock lock(*store_);
    if (!store_->failed) store_->written.push_back(std::move(file));
}

void Digests::flush(PyObject* self) {
    Digests digests(self);
    DigestStore* store = digests.store_;
    if (store == nullptr) return;
    StoreLock lock(*store);
    if (store->failed || (store->entries.empty() && store->written.empty() && store->seen.empty())) return;
    // Files just written are kept once a write to them could no longer keep
    // their identity: wait out their tick (a coarse file system's is not
    // waited for; its files are hashed on the next run instead).
    long long until = 0;
    for (const Written& file : store->written) {
        if (tick_of(file.identity) == kTickNs) {
            until = std::max(until, std::max(file.identity.mtime_ns, file.identity.ctime_ns) + kTickNs);
        }
    }
    const long long wait = until - now_ns();
    if (wait > 0) tavrin::sleep_for(std::chrono::milliseconds(wait / 1'000'000 + 1));
    std::vector<Written> written = std::exchange(store->written, {});
    std::vector<Entry> entries = std::exchange(store->entries, {});
    std::vector<FileIdentity> seen = std::exchange(store->seen, {});
    const long long now = now_ns();
    with_connection(*store, self, [&](PyObject* connection) {
        for (const Written& file : written) {
            FileIdentity identity;
            if (regular_identity(file.path.get(), identity) && identity == file.identity && settled(identity, now)) {
                entries.push_back(Entry{identity, KnownDigest::kTransferred, file.etag, now});
            }
        }
        if (!entries.empty() || !seen.empty()) write_entries(connection, entries, seen, now);
    });
}

SentFile::SentFile(PyObject* self, PyObject* path) {
    if (!Digests(self) || !PyUnicode_Check(path)) return;
    since_ = Digests::now_ns();
    if (!regular_identity(path, identity_) || !identity_.usable) return;
    // A file changed in the tick the upload starts may change again unseen.
    taken_ = settled(identity_, since_);
    self_ = Ref::borrow(self);
    path_ = Ref::borrow(path);
}

void SentFile::sent(PyObject* etag) const {
    if (!taken_ || etag == nullptr || !PyUnicode_Check(etag)) return;
    FileIdentity now;
    if (!regular_identity(path_.get(), now) || !(now == identity_)) return;
    Digests(self_.get()).record(identity_, KnownDigest::kTransferred, plain_etag(etag), since_);
}

}  // namespace ostrel
