// Shared declarations of the ostrel module: its process-wide state, the
// lookups every operation makes, and the method definitions that each
// source file contributes to the TavrinOstrel class. Each concern that other
// units call has a header of its own beside its source file.
#pragma once

#include "tavrin/api.hpp"
#include "tavrin/args.hpp"

#include <initializer_list>

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
    X(Progress) X(lstat) X(st_mode) X(S_ISREG) X(md5) X(digest) X(hexdigest) X(readinto)                   \
    X(_create_multipart_upload) X(_upload_part) X(_complete_multipart_upload) X(_abort_multipart_upload)    \
    X(Part) X(unquote) X(status) X(headers) X(truncate) X(IntegrityError) X(verify) X(metadata)          \
    X(fspath) X(lexists) X(rmdir) X(action) X(source) X(target) X(key) X(prefix) X(is_dir) X(quote)      \
    X(islink) X(exists) X(code) X(copy_object) X(commonconfig) X(CopySource) X(_download_stream) X(getvalue)

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
    Ref content_type_header; // "Content-Type"
    Ref part_suffix;         // ".part.minio", the end of the client library's part file names
    Ref content_range_header;  // "Content-Range"
    Ref msg_path_conflict;   // "对象与本地路径冲突，已跳过：" + object name
    Ref msg_dangling_link;   // "链接目标不存在，已跳过：" + local path
    Ref write_binary;        // "wb"
    Ref etag_header;         // "ETag"
    Ref s3_scheme;           // "s3://"
    Ref act_upload;          // "upload", "download", "delete", "skip": the actions of tree transfer records
    Ref act_download;
    Ref act_delete;
    Ref act_skip;

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
    Ref kw_extra_query;   // stat_object(bucket, name, extra_query_params=)

    // Listing records (buckets.cpp, prepare_listing)
    Ref datetime_type;    // datetime.datetime
    Ref timezone_type;    // datetime.timezone
    Ref record_template;  // the six record keys, in record order, each with None

    // The functions behind TavrinOstrel._bucket_list_files, _download_file
    // and _upload_file, to tell them from overrides.
    Ref bucket_list_files_function;
    Ref download_file_function;
    Ref upload_file_function;

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

// True when `method`, self.<name> as looked up on the instance, is this
// class's own `function` bound to self: neither a subclass nor an instance
// attribute overrides it.
bool own_method(PyObject* self, PyObject* method, const Ref& function);

// Closes a response of the client library and releases its connection,
// keeping any exception under way; errors of either are dropped.
void release_response(PyObject* response) noexcept;

// os.remove(path), keeping any exception under way; a file already gone or
// held open elsewhere is left as it is.
void remove_file(PyObject* path) noexcept;

// self._engine, the storage client made by _connect()
Ref engine(PyObject* self);

// The current thread's state dict (borrowed; owned by the thread state),
// where the directory transfers keep what nested calls on this thread share.
PyObject* thread_dict();

// Takes what the object listing needs from the datetime module (imported by
// then) and makes the record template.
void prepare_listing(State& s);

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
// Tree transfers (sync.cpp), the folder listing (folders.cpp), streamed downloads (stream.cpp)
extern PyMethodDef upload_tree_def, download_tree_def, remove_tree_def, list_folder_def, download_stream_def;
extern PyMethodDef folder_usage_def, stat_object_def;
// Streamed uploads (stream_upload.cpp)
extern PyMethodDef upload_stream_def;

}  // namespace ostrel
