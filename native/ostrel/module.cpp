// ostrel: the storage client module.
//
// Executing the module binds, in this order, io, os, timedelta, minio,
// DeleteObject, S3Error, TavrinLog, TavrinSSH, TavrinVar and get_mimora
// (from the sibling module mimora), then defines the class TavrinOstrel and
// binds urllib3 (for the HTTP client that timeout, workers and tls ask for;
// certifi is imported when tls=True first needs its CA bundle).
// TavrinOstrel is an ordinary Python class made by type(): its methods are
// native functions wrapped as instance methods, so they bind self like
// Python methods and subclasses can override them.
#include "copies.hpp"
#include "moves.hpp"
#include "ostrel.hpp"
#include "batch.hpp"
#include "progress.hpp"
#include "tree.hpp"

#include "tavrin/module_guard.hpp"

#include <cstddef>

namespace ostrel {

namespace {

State* the_state = nullptr;  // never destroyed at process exit: the interpreter is gone by then

// The methods of TavrinOstrel, in definition order.
PyMethodDef* const kMethods[] = {
    &init_def,          &cleanse_params_def, &set_params_dict_def, &set_default_params_def, &connect_def,
    &create_bucket_def, &remove_bucket_def,  &bucket_list_def,     &bucket_list_files_def,  &bucket_policy_def,
    &upload_flow_def,   &upload_file_def,    &upload_dir_def,      &download_flow_def,      &download_file_def,
    &download_dir_def,  &remove_object_def,  &remove_objects_def,  &get_url_def,
    &list_folder_def,   &upload_tree_def,    &download_tree_def,   &remove_tree_def,        &download_stream_def,
    &copy_object_def,   &copy_tree_def,      &folder_usage_def,    &stat_object_def,
    &move_file_up_def,  &move_tree_up_def,   &move_tree_down_def,
    &upload_stream_def,
    &transfer_many_def, &folder_tree_def,
};

void make_texts(State& s) {
    using tavrin::interned;
    using tavrin::kwnames;
    using tavrin::require;
    using tavrin::text;
#define OSTREL_INTERN(name) s.n.name = interned(#name);
    OSTREL_NAMES(OSTREL_INTERN)
#undef OSTREL_INTERN
    s.n.default_ = interned("default");
    s.n.environ_ = interned("environ");
    s.msg_bucket_exists = text("桶已存在");
    s.msg_bucket_missing = text("桶不存在，删除失败");
    s.msg_no_policy = text("桶策略不存在");
    s.msg_bad_data = text("data 必须为 文件 / bytes / 可直接转化为字符串的对象");
    s.msg_unsafe_name = text("对象名不能用作本地文件名，已跳过：");
    s.msg_link_cycle = text("目录链接成环，已跳过：");
    s.msg_missing = text("缺少必填参数：");
    s.msg_param = text("参数");
    s.msg_bad_value = text("预设值不正确，可选：");
    s.msg_separator = text("；");
    s.default_location = text("cn-north-1");
    s.empty = text("");
    s.slash = text("/");
    s.backslash = text("\\");
    s.colon = text(":");
    s.dot = text(".");
    s.dot_dot = text("..");
    s.space = text(" ");
    s.nt = text("nt");
    s.walk_key = text("tavrin_minio.ostrel._upload_dir");
    s.pool_key = text("tavrin_minio.ostrel.transfers");
    s.worker_key = text("tavrin_minio.ostrel.transfer_thread");
    s.progress_key = text("tavrin_minio.ostrel.progress");
    s.thread_prefix = text("tavrin_minio");
    s.utf8 = text("utf-8");
    s.read_binary = text("rb");
    s.time_format = text("%Y-%m-%d %H:%M:%S.%f");
    s.three = require(PyLong_FromLong(3));
    s.seven = require(PyLong_FromLong(7));
    s.last_index = require(PyLong_FromLong(-1));
    s.library_timeout = require(PyLong_FromLong(300));
    s.four = require(PyLong_FromLong(4));
    s.quote = text("\"");
    s.if_match = text("If-Match");
    s.ranges_suffix = text(".ranges");
    s.create_binary = text("xb");
    s.update_binary = text("r+b");
    s.msg_short_body = text("Connection broken: the response ended before its length");
    s.ssl_cert_file = text("SSL_CERT_FILE");
    s.cert_required = text("CERT_REQUIRED");
    s.content_type_header = text("Content-Type");
    s.part_suffix = text(".part.minio");
    s.content_range_header = text("Content-Range");
    s.msg_path_conflict = text("对象与本地路径冲突，已跳过：");
    s.msg_dangling_link = text("链接目标不存在，已跳过：");
    s.write_binary = text("wb");
    s.etag_header = text("ETag");
    s.s3_scheme = text("s3://");
    s.act_upload = text("upload");
    s.act_download = text("download");
    s.act_delete = text("delete");
    s.act_skip = text("skip");
    s.kw_file = kwnames({"file"});
    s.kw_minio = kwnames({"endpoint", "access_key", "secret_key", "secure"});
    s.kw_minio_http = kwnames({"endpoint", "access_key", "secret_key", "secure", "http_client"});
    s.kw_pool = kwnames({"timeout", "maxsize", "retries"});
    s.kw_pool_tls = kwnames({"timeout", "maxsize", "retries", "cert_reqs", "ca_certs"});
    s.kw_pool_tls_host =
        kwnames({"timeout", "maxsize", "retries", "cert_reqs", "ca_certs", "server_hostname", "assert_hostname"});
    s.kw_timeout = kwnames({"connect", "read"});
    s.kw_retry = kwnames({"total", "backoff_factor", "status_forcelist"});
    s.kw_make_bucket = kwnames({"location", "object_lock"});
    s.kw_list_objects = kwnames({"bucket_name", "prefix", "recursive"});
    s.kw_put = kwnames({"content_type"});
    s.kw_fput = kwnames({"content_type", "num_parallel_uploads"});
    s.kw_fput_progress = kwnames({"content_type", "num_parallel_uploads", "progress"});
    s.kw_progress = kwnames({"progress"});
    s.kw_md5 = kwnames({"usedforsecurity"});
    s.kw_parallel = kwnames({"parallel"});
    s.kw_expires = kwnames({"expires"});
    s.kw_days = kwnames({"days"});
    s.kw_executor = kwnames({"max_workers", "thread_name_prefix"});
    s.kw_exist_ok = kwnames({"exist_ok"});
    s.kw_range = kwnames({"offset", "length", "request_headers"});
    s.kw_extra_query = kwnames({"extra_query_params"});
}

// name = import(module).attribute (or the module itself), bound in the namespace.
void bind_import(PyObject* module, const char* binding, const char* from, const char* attribute, int level = 0) {
    using tavrin::require;
    Ref fromlist;
    if (attribute != nullptr) {
        fromlist = require(PyList_New(1));
        PyList_SET_ITEM(fromlist.get(), 0, tavrin::text(attribute).release());
    }
    Ref name = tavrin::text(from);
    PyObject* globals = the_state->globals.get();
    Ref imported = require(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), level));
    Ref value = attribute ? tavrin::getattr(imported.get(), tavrin::text(attribute).get()) : imported;
    require(PyModule_AddObjectRef(module, binding, value.get()));
}

void define_class(PyObject* module) {
    using tavrin::require;
    Ref module_name = tavrin::getattr(module, tavrin::interned("__name__").get());
    Ref namespace_ = require(PyDict_New());
    require(PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()));
    require(PyDict_SetItemString(namespace_.get(), "__qualname__", tavrin::text("TavrinOstrel").get()));
    for (PyMethodDef* def : kMethods) {
        Ref function = require(PyCFunction_NewEx(def, module, module_name.get()));
        Ref method = require(PyInstanceMethod_New(function.get()));
        if (def == &bucket_list_files_def) the_state->bucket_list_files_function = function;
        if (def == &download_file_def) the_state->download_file_function = function;
        if (def == &upload_file_def) the_state->upload_file_function = function;
        require(PyDict_SetItemString(namespace_.get(), def->ml_name, method.get()));
    }
    Ref name = tavrin::text("TavrinOstrel");
    Ref bases = require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref cls = tavrin::call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), namespace_.get()});
    require(PyModule_AddObjectRef(module, "TavrinOstrel", cls.get()));
}

void init_module(PyObject* module) {
    the_state = new State();
    State& s = *the_state;
    make_texts(s);
    s.globals = Ref::borrow(PyModule_GetDict(module));
    Ref builtins = tavrin::require(PyImport_ImportModule("builtins"));
    s.builtins = Ref::borrow(PyModule_GetDict(builtins.get()));

    bind_import(module, "io", "io", nullptr);
    bind_import(module, "os", "os", nullptr);
    bind_import(module, "timedelta", "datetime", "timedelta");
    prepare_listing(s);
    prepare_progress(s);
    bind_import(module, "minio", "minio", nullptr);
    bind_import(module, "DeleteObject", "minio.deleteobjects", "DeleteObject");
    bind_import(module, "S3Error", "minio.error", "S3Error");
    bind_import(module, "TavrinLog", "tavrin_log", "TavrinLog");
    bind_import(module, "TavrinSSH", "tavrin_ssh", "TavrinSSH");
    bind_import(module, "TavrinVar", "tavrin_var", "TavrinVar");
    bind_import(module, "get_mimora", "mimora", "get_mimora", 1);
    define_class(module);
    bind_import(module, "urllib3", "urllib3", nullptr);
}

void clear_state() {
    delete the_state;
    the_state = nullptr;
}

tavrin::ModuleGuard guard("ostrel", init_module, clear_state);

PyModuleDef module_def = tavrin::GuardedModule<guard>::definition(
    "ostrel", "Client for S3-compatible object storage: the TavrinOstrel class.");

}  // namespace

State& state() { return *the_state; }

Ref global(PyObject* name) {
    State& s = state();
    for (PyObject* space : {s.globals.get(), s.builtins.get()}) {
        PyObject* value = PyDict_GetItemWithError(space, name);  // borrowed, owned at once below
        if (value != nullptr) return Ref::borrow(value);
        if (PyErr_Occurred()) throw tavrin::PyErrOccurred();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw tavrin::PyErrOccurred();
}

void warn(PyObject* self, PyObject* message) {
    Ref log = tavrin::getattr(self, state().n._log.get());
    tavrin::call_method(log.get(), state().n.warning.get(), {message});
}

void warn_about(PyObject* self, PyObject* message, PyObject* subject) {
    warn(self, concat({message, subject}).get());
}

Ref concat(std::initializer_list<PyObject*> parts) {
    using tavrin::require;
    Ref list = require(PyList_New(0));
    for (PyObject* part : parts) {
        Ref piece = require(PyObject_Str(part));
        require(PyList_Append(list.get(), piece.get()));
    }
    return require(PyUnicode_Join(state().empty.get(), list.get()));
}

void close_and_reraise(PyObject* closable) {
    tavrin::PendingError error;
    PyObject* closed = PyObject_CallMethodNoArgs(closable, state().n.close.get());
    if (closed == nullptr) PyErr_Clear();
    Py_XDECREF(closed);
    error.reraise();
}

bool own_method(PyObject* self, PyObject* method, const Ref& function) {
    return PyMethod_Check(method) && PyMethod_GET_SELF(method) == self &&
           PyMethod_GET_FUNCTION(method) == function.get();
}

void release_response(PyObject* response) noexcept {
    tavrin::PendingError pending;
    for (PyObject* name : {state().n.close.get(), state().n.release_conn.get()}) {
        PyObject* result = PyObject_CallMethodNoArgs(response, name);
        if (result == nullptr) PyErr_Clear();
        Py_XDECREF(result);
    }
    pending.restore();
}

void remove_file(PyObject* path) noexcept {
    tavrin::PendingError pending;
    try {
        tavrin::call_method(global(state().n.os.get()).get(), state().n.remove.get(), {path});
    } catch (const tavrin::PyErrOccurred&) {
        PyErr_Clear();
    }
    pending.restore();
}

Ref engine(PyObject* self) { return tavrin::getattr(self, state().n._engine.get()); }

PyObject* thread_dict() {
    PyObject* dict = PyThreadState_GetDict();
    if (dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state for the directory transfer");
        throw tavrin::PyErrOccurred();
    }
    return dict;
}

Ref forward_slashes(PyObject* text) {
    return tavrin::call_method(text, state().n.replace.get(), {state().backslash.get(), state().slash.get()});
}

}  // namespace ostrel

PyMODINIT_FUNC PyInit_ostrel(void) { return PyModuleDef_Init(&ostrel::module_def); }
