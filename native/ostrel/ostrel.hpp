// Shared declarations of the ostrel module: its process-wide state, the
// lookups every operation makes, and the method definitions that each
// source file contributes to the TavrinOstrel class.
#pragma once

#include "tavrin/api.hpp"
#include "tavrin/args.hpp"

#include <initializer_list>
#include <memory>
#include <vector>

namespace ostrel {

using tavrin::Args;
using tavrin::Ref;
using tavrin::Signature;

// Names the module looks up: module globals, attributes and keyword names.
// Interned once at exec; the objects they name are looked up when used.
#define OSTREL_NAMES(X)                                                                                      \
    X(io) X(os) X(timedelta) X(minio) X(DeleteObject) X(S3Error) X(TavrinLog) X(TavrinSSH) X(TavrinVar)       \
    X(get_mimora) X(open) X(urllib3) X(PoolManager) X(Timeout) X(Retry)                                      \
    X(_log) X(_config) X(_params_dict) X(_default_params) X(_engine) X(_cleanse_params) X(_set_params_dict)  \
    X(_set_default_params) X(_upload_file) X(_upload_dir) X(_bucket_list_files) X(_download_file)            \
    X(ssh) X(ssh_host) X(ssh_port) X(ssh_user) X(ssh_password) X(ssh_rsa) X(ssh_rsa_pwd)                     \
    X(host) X(port) X(user) X(password) X(secure) X(timeout) X(workers) X(type) X(optional)                 \
    X(tls) X(target_host) X(certifi) X(where)                                                                \
    X(todict) X(connect) X(get) X(set) X(keys) X(update) X(items) X(warning) X(Minio)                        \
    X(bucket_exists) X(make_bucket) X(remove_bucket) X(list_buckets) X(get_bucket_policy) X(list_objects)    \
    X(put_object) X(fput_object) X(get_object) X(fget_object) X(remove_object) X(remove_objects)             \
    X(presigned_get_object)                                                                                  \
    X(path) X(isfile) X(isdir) X(join) X(listdir) X(stat) X(st_size) X(st_dev) X(st_ino) X(BytesIO) X(data)  \
    X(decode) X(close) X(ThreadPoolExecutor) X(submit) X(shutdown) X(exceptions) X(ProtocolError)             \
    X(ReadTimeoutError) X(glob) X(escape) X(st_mtime_ns) X(remove) X(stat_object) X(dirname) X(makedirs)     \
    X(urandom) X(hex) X(seek) X(read) X(write) X(release_conn)                                               \
    X(replace) X(split) X(strftime) X(startswith) X(sep) X(altsep) X(name) X(fsdecode) X(isreserved)         \
    X(bucket_name) X(object_name) X(last_modified) X(etag) X(size) X(content_type) X(mimora)                 \
    X(progress) X(skip_unchanged) X(upload_dir) X(download_dir) X(upload_file) X(download_file) X(Bar)       \
    X(Progress) X(lstat) X(st_mode) X(S_ISREG) X(md5) X(digest) X(hexdigest) X(readinto)

struct State {
#define OSTREL_DECLARE(name) Ref name;
    struct Names {
        OSTREL_NAMES(OSTREL_DECLARE)
        Ref default_;  // "default" (a C++ keyword)
        Ref environ_;  // "environ" (a macro in the Windows C library)
    } n;
#undef OSTREL_DECLARE

    // Texts the operations use.
    Ref msg_bucket_exists;   // "桶已存在"
    Ref msg_bucket_missing;  // "桶不存在，删除失败"
    Ref msg_no_policy;       // "桶策略不存在"
    Ref msg_bad_data;        // "data 必须为 文件 / bytes / 可直接转化为字符串的对象"
    Ref msg_unsafe_name;     // "对象名不能用作本地文件名，已跳过：" + object name
    Ref msg_link_cycle;      // "目录链接成环，已跳过：" + local path
    Ref msg_missing;         // "缺少必填参数："
    Ref msg_param;           // "参数"
    Ref msg_bad_value;       // "预设值不正确，可选："
    Ref msg_separator;       // "；"
    Ref default_location;    // "cn-north-1"
    Ref empty;               // ""
    Ref slash;               // "/"
    Ref backslash;           // "\\"
    Ref colon;               // ":"
    Ref dot;                 // "."
    Ref dot_dot;             // ".."
    Ref space;               // " "
    Ref nt;                  // "nt", os.name on Windows
    Ref walk_key;            // key of the directory walk's path in the thread-state dict
    Ref pool_key;            // key of the directory transfers' thread pool in the thread-state dict
    Ref worker_key;          // key marking a transfer thread in its thread-state dict
    Ref progress_key;        // key of the progress tracker of the call under way in the thread-state dict
    Ref thread_prefix;       // "tavrin_minio", the name prefix of the pool's threads
    Ref utf8;                // "utf-8"
    Ref read_binary;         // "rb"
    Ref time_format;         // "%Y-%m-%d %H:%M:%S.%f"
    Ref three;               // 3
    Ref last_index;          // -1
    Ref seven;               // 7
    Ref library_timeout;     // 300, the client library's own connect and read timeout in seconds
    Ref four;                // 4
    Ref quote;               // "\""
    Ref if_match;            // "If-Match"
    Ref ranges_suffix;       // ".ranges", the end of a ranged download's temporary file name
    Ref create_binary;       // "xb"
    Ref update_binary;       // "r+b"
    Ref msg_short_body;      // the error of a body that ends before its length
    Ref ssl_cert_file;       // "SSL_CERT_FILE", the variable naming the client library's CA bundle
    Ref cert_required;       // "CERT_REQUIRED"

    // Keyword-name tuples of the calls that pass keywords.
    Ref kw_file;          // TavrinLog(file=...)
    Ref kw_minio;         // Minio(endpoint=, access_key=, secret_key=, secure=)
    Ref kw_minio_http;    // the same and http_client=
    Ref kw_pool;          // urllib3.PoolManager(timeout=, maxsize=, retries=)
    Ref kw_pool_tls;       // the same and cert_reqs=, ca_certs=
    Ref kw_pool_tls_host;  // the same and server_hostname=, assert_hostname=
    Ref kw_timeout;       // urllib3.Timeout(connect=, read=)
    Ref kw_retry;         // urllib3.Retry(total=, backoff_factor=, status_forcelist=)
    Ref kw_make_bucket;   // make_bucket(name, location=, object_lock=)
    Ref kw_list_objects;  // list_objects(bucket_name=, prefix=, recursive=)
    Ref kw_put;           // put_object(..., content_type=)
    Ref kw_fput;          // fput_object(..., content_type=, num_parallel_uploads=)
    Ref kw_fput_progress; // the same and progress=
    Ref kw_progress;      // fget_object(..., progress=)
    Ref kw_md5;           // hashlib.md5(usedforsecurity=)
    Ref kw_parallel;      // _upload_file(..., parallel=)
    Ref kw_expires;       // presigned_get_object(..., expires=)
    Ref kw_days;          // timedelta(days=)
    Ref kw_executor;      // ThreadPoolExecutor(max_workers=, thread_name_prefix=)
    Ref kw_exist_ok;      // os.makedirs(path, exist_ok=)
    Ref kw_range;         // get_object(bucket, name, offset=, length=, request_headers=)

    // Listing records (buckets.cpp, prepare_listing)
    Ref datetime_type;    // datetime.datetime
    Ref timezone_type;    // datetime.timezone
    Ref record_template;  // the six record keys, in record order, each with None

    // The functions behind TavrinOstrel._bucket_list_files and _download_file,
    // to tell them from overrides.
    Ref bucket_list_files_function;
    Ref download_file_function;

    // The type of the objects handed to the client library as `progress` (progress.cpp).
    Ref hook_type;

    Ref globals;   // the module's namespace
    Ref builtins;  // the builtins namespace, for names the module does not define
};

// The module's state; valid between a successful exec and process exit.
State& state();

// A module global, or a builtin of that name; NameError when neither exists.
// Looked up at every use, so that replacing a module attribute takes effect.
Ref global(PyObject* name);

// self._log.warning(message): the one way operations report an expected
// negative outcome.
void warn(PyObject* self, PyObject* message);

// self._log.warning(message + str(subject)): a warning that names what it is about.
void warn_about(PyObject* self, PyObject* message, PyObject* subject);

// The concatenation of the texts of parts, str() applied to each.
Ref concat(std::initializer_list<PyObject*> parts);

// text.replace("\\", "/")
Ref forward_slashes(PyObject* text);

// Closes `closable` while the current exception is pending, then raises
// that exception again; an error of close() itself is dropped in its favour.
[[noreturn]] void close_and_reraise(PyObject* closable);

// self._engine, the storage client made by _connect()
Ref engine(PyObject* self);

// The current thread's state dict (borrowed; owned by the thread state),
// where the directory transfers keep what nested calls on this thread share.
PyObject* thread_dict();

// Takes what the object listing needs from the datetime module (imported by
// then) and makes the record template.
void prepare_listing(State& s);

// Makes the type of the client library's progress objects (progress.cpp).
void prepare_progress(State& s);

// The most transfer threads a client may ask for with `workers`.
inline constexpr long kMaxWorkers = 256;

// The thread count of a `workers` value: 1 (serial) for None, else an int
// from 1 to kMaxWorkers; ValueError naming the key for anything else.
long workers_from(PyObject* value);

// workers_from(self._config.workers), read as an optional attribute (a
// tunnel's configuration object need not carry it): 1 when absent.
long configured_workers(PyObject* self);

class TransferPool;
class Work;
class Progress;

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
}

// How often a download whose stream broke is made, the first time included.
inline constexpr int kStreamAttempts = 5;

// True when `error` means that a connection broke or stalled while a
// response body streamed: urllib3's ProtocolError or ReadTimeoutError.
// (A request that fails before its answer is retried by the HTTP client.)
bool broken_stream(const tavrin::PendingError& error);

// Waits before attempt `attempt` (2 to kStreamAttempts) of a download: 0.2 s,
// then twice as long each time, as the client library backs off. Without
// the GIL; Ctrl-C ends the wait with KeyboardInterrupt.
void stream_retry_pause(int attempt);

// Runs `attempt(n)` for n = 1, 2, ... until it returns, raises anything
// but a broken stream, or has been made kStreamAttempts times; its result,
// or the last exception.
template <typename Attempt>
Ref with_stream_retries(Attempt&& attempt) {
    for (int n = 1;; ++n) {
        try {
            return attempt(n);
        } catch (const tavrin::PyErrOccurred&) {
            tavrin::PendingError error;
            if (n >= kStreamAttempts || !broken_stream(error)) error.reraise();
        }
        stream_retry_pause(n + 1);
    }
}

// True when `method`, self.<name> as looked up on the instance, is this
// class's own `function` bound to self: neither a subclass nor an instance
// attribute overrides it.
bool own_method(PyObject* self, PyObject* method, const Ref& function);

inline constexpr long long kMiB = 1024 * 1024;

// The most parts of one multipart upload (the client library's and S3's limit).
inline constexpr long long kMaxParts = 10000;

// Objects of at least this size are fetched by byte ranges on the transfer
// threads when `workers` is 2 or more.
inline constexpr long long kRangedMinimum = 16 * kMiB;

// The client library's file download of one object (fget_object), made
// again when its stream breaks; a failed attempt leaves no part file. With
// `progress`, each attempt carries the same progress object.
void fetch_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
                const Progress& progress);

// The download of one listed object of a directory transfer: by ranges
// when `size` (an int, or None when the listing gives none) is big enough,
// else fetch_file(). With `progress`, it counts its bytes, and the object
// as done once all of them are written.
std::unique_ptr<Task> object_download(PyObject* self, PyObject* bucket_name, PyObject* object_name,
                                      PyObject* target, PyObject* size, const Progress& progress);

// The path that a ranged download of `target` writes (a str, or what a
// path-like object gives as str); empty when it is not a path of text.
Ref ranged_target(PyObject* target);

// Fetches the object `stat` describes (its size and ETag) by ranges into
// `target` (from ranged_target), on a pool of its own or, on a transfer
// thread, one part after another. With `progress`, it counts its bytes
// (the caller counts the object as done).
void download_ranges(PyObject* self, PyObject* client, PyObject* bucket_name, PyObject* object_name,
                     const Ref& target, PyObject* stat, const Progress& progress);

// ---------------------------------------------------------------- progress
// (progress.cpp). A call of _upload_dir, _download_dir, _upload_file or
// _download_file made while no other is under way on its thread is a
// top-level call: with the `progress` key it owns a tracker, which counts
// files and bytes and hands records to the configured callable (or the
// terminal bar of progress=True). The tracker is kept in the thread-state
// dict, so the calls nested in it on that thread add to it; the tasks of its
// transfer carry it to the transfer threads. Every member is used with the
// GIL, from any thread; whatever hands over a record may raise the
// exception of the callable.

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

// ------------------------------------------------- unchanged files
// (unchanged.cpp)

// The `skip_unchanged` value as used; ValueError naming the key unless
// True, False or None.
bool skip_unchanged_from(PyObject* value);

// skip_unchanged_from(self._config.skip_unchanged), an optional attribute.
bool configured_skip_unchanged(PyObject* self);

// {object name: (size, etag)} of the objects directly under `prefix`: one
// list_objects(bucket_name=, prefix=, recursive=False) request.
Ref listed_objects(PyObject* self, PyObject* bucket_name, PyObject* prefix);

// One object of a directory transfer: self.<method>(bucket_name,
// object_name, local) and, when `parallel` is set, parallel=parallel.
struct ObjectTransfer {
    PyObject* method;  // _upload_file or _download_file (an interned name)
    Ref bucket_name;
    Ref object_name;
    Ref local;         // the local file
    Ref parallel;      // empty: not passed
    // The object as listed, when the transfer is left out if the local file
    // matches it (skip_unchanged): its size and ETag.
    Ref size;
    Ref etag;
    // Only a regular file can match; a link to one only when following links
    // (the walk follows them; a download's target must be the file itself).
    bool follow_links = true;
};

// Hands `object` to `transfers`: the method call itself (Transfers::call),
// or `direct` (a task of the transfer's own that counts what it moves,
// object_download()) when given, when nothing is to be counted or compared;
// else a task that compares (where the transfer would run), then runs
// `direct`, or calls the method and counts the object as done.
void transfer_object(Transfers& transfers, PyObject* self, const Progress& progress, ObjectTransfer object,
                     std::unique_ptr<Task> direct = nullptr);

// Method definitions, one per operation, defined beside their code.
// Construction, configuration and connection (config.cpp)
extern PyMethodDef init_def, cleanse_params_def, set_params_dict_def, set_default_params_def, connect_def;
// Buckets and object listing (buckets.cpp)
extern PyMethodDef create_bucket_def, remove_bucket_def, bucket_list_def, bucket_list_files_def,
    bucket_policy_def;
// Uploads (uploads.cpp)
extern PyMethodDef upload_flow_def, upload_file_def, upload_dir_def;
// Downloads (downloads.cpp)
extern PyMethodDef download_flow_def, download_file_def, download_dir_def;
// Removal and download URLs (removal.cpp)
extern PyMethodDef remove_object_def, remove_objects_def, get_url_def;

}  // namespace ostrel
