// Moves between a local folder and the store. Nothing is removed when the
// transfer fails: its records come only with its success.
//
// Upward, the target is listed once after the upload; a file goes when its
// object has the file's size and, where the ETag is an MD5 of either form,
// the file's content gives that ETag. Downward, every download is checked
// against the object's ETag as it is written (the `verify` setting), so the
// downloaded objects go by one batch removal.
#include "moves.hpp"

#include "removal.hpp"
#include "outcomes.hpp"
#include "verify.hpp"
#include "walk.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::interned;
using tavrin::require;

// record[key]
Ref item(PyObject* record, PyObject* key) { return require(PyObject_GetItem(record, key)); }

// The object name in a record's "s3://<bucket>/<name>" field.
Ref object_of(PyObject* url, Py_ssize_t skip) { return require(PyUnicode_Substring(url, skip, PY_SSIZE_T_MAX)); }

// The length of "s3://<bucket>/".
Py_ssize_t url_head(PyObject* bucket_name) {
    Ref head = remote_url(bucket_name, state().empty.get());
    return PyUnicode_GetLength(head.get());
}

// A "skip" record for a kept source, reported and added to `records`.
void record_kept(PyObject* records, PyObject* report, PyObject* source) {
    Ref record = Outcomes::record(state().act_skip.get(), source, Py_None, Py_None);
    require(PyList_Append(records, record.get()));
    if (report != nullptr && report != Py_None) tavrin::call(report, {record.get()});
}

// True when the stored `object` holds the file at `path` of `size` bytes.
bool stored_whole(PyObject* self, PyObject* bucket_name, const RemoteEntry& object, PyObject* path, PyObject* size) {
    if (!require(PyObject_RichCompareBool(object.size.get(), size, Py_EQ))) return false;
    const Expected expected(object.etag.get(), Py_None);
    if (!expected) return true;
    Ref computed;
    return judge_file(engine(self).get(), bucket_name, object.name.get(), expected, path,
                      tavrin::as_long_long(size), computed) != Verdict::kMismatch;
}

// The tree method `name` with the arguments given and filters=, report=
// (and wildcard= when `wildcard` is not null): its records.
Ref run_tree(PyObject* self, const char* name, PyObject* first, PyObject* second, PyObject* third,
             PyObject* filters, PyObject* report, PyObject* wildcard) {
    if (wildcard == nullptr) {
        Ref names = tavrin::kwnames({"filters", "report"});
        return call_method(self, interned(name).get(), {first, second, third, filters, report}, names.get());
    }
    Ref names = tavrin::kwnames({"filters", "report", "wildcard"});
    return call_method(self, interned(name).get(), {first, second, third, filters, report, wildcard}, names.get());
}

// TavrinOstrel._move_tree_up(self, bucket_name, dir_path, prefix='', *, filters=None, report=None)
//
// _upload_tree, then each uploaded file removed once its object checks out.
// Returns the upload's records and a "skip" record per kept file.
constexpr Signature<6> kMoveTreeUp{
    "_move_tree_up", {"self", "bucket_name", "dir_path", "prefix", "filters", "report"}, 3, 4};
Ref move_tree_up(const Args<6>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* report = a.get_or(5, Py_None);
    Ref prefix = folder_prefix(a.get_or(3, s.empty.get()));
    Ref records =
        run_tree(self, "_upload_tree", bucket_name, a[2], prefix.get(), a.get_or(4, Py_None), report, nullptr);
    records = require(PySequence_List(records.get()));
    const std::vector<RemoteEntry> stored = list_tree(self, bucket_name, prefix.get(), Filter());
    std::unordered_map<std::u32string, const RemoteEntry*> by_name;
    for (const RemoteEntry& entry : stored) by_name.emplace(code_points(entry.name.get()), &entry);
    const Py_ssize_t skip = url_head(bucket_name);
    Ref os = global(s.n.os.get());
    const Py_ssize_t count = PyList_GET_SIZE(records.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* record = PyList_GET_ITEM(records.get(), i);
        Ref action = item(record, s.n.action.get());
        if (!require(PyObject_RichCompareBool(action.get(), s.act_upload.get(), Py_EQ))) continue;
        Ref source = item(record, s.n.source.get());
        Ref target = item(record, s.n.target.get());
        Ref size = item(record, s.n.size.get());
        auto found = by_name.find(code_points(object_of(target.get(), skip).get()));
        if (found != by_name.end() && stored_whole(self, bucket_name, *found->second, source.get(), size.get())) {
            call_method(os.get(), s.n.remove.get(), {source.get()});
            continue;
        }
        warn_about(self, interned("the stored object does not match the file, which is kept: ").get(), source.get());
        record_kept(records.get(), report, source.get());
    }
    return records;
}

// TavrinOstrel._move_file_up(self, bucket_name, object_name, file_path)
//
// _upload_file, then the file removed once the object checks out (stated:
// the file's size and, an MD5 ETag of either form, its content). Returns
// the size moved; IntegrityError, the file kept, when it does not check out.
constexpr Signature<4> kMoveFileUp{"_move_file_up", {"self", "bucket_name", "object_name", "file_path"}, 4};
Ref move_file_up(const Args<4>& a) {
    State& s = state();
    Ref os = global(s.n.os.get());
    Ref info = call_method(os.get(), s.n.stat.get(), {a[3]});
    Ref size = getattr(info.get(), s.n.st_size.get());
    call_method(a[0], s.n._upload_file.get(), {a[1], a[2], a[3]});
    Ref stat = call_method(engine(a[0]).get(), s.n.stat_object.get(), {a[1], a[2]});
    RemoteEntry object;
    object.name = Ref::borrow(a[2]);
    object.size = getattr(stat.get(), s.n.size.get());
    object.etag = getattr(stat.get(), s.n.etag.get());
    if (!stored_whole(a[0], a[1], object, a[3], size.get())) {
        Ref message = require(PyUnicode_FromFormat(
            "the stored object %S/%S does not match the file %S (size %S; stored: size %S, ETag %S); the file is kept",
            a[1], a[2], a[3], size.get(), object.size.get(), object.etag.get()));
        raise_integrity(message.get());
    }
    call_method(os.get(), s.n.remove.get(), {a[3]});
    return size;
}

// TavrinOstrel._move_tree_down(self, bucket_name, prefix, dir_path, *, filters=None, wildcard=False, report=None)
//
// _download_tree, then the downloaded objects removed by batch removal;
// one that fails to go is warned about and recorded as skipped.
constexpr Signature<7> kMoveTreeDown{
    "_move_tree_down", {"self", "bucket_name", "prefix", "dir_path", "filters", "wildcard", "report"}, 4, 4};
Ref move_tree_down(const Args<7>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* report = a.get_or(6, Py_None);
    Ref records = run_tree(self, "_download_tree", bucket_name, a[2], a[3], a.get_or(4, Py_None), report,
                           a.get_or(5, Py_False));
    records = require(PySequence_List(records.get()));
    const Py_ssize_t skip = url_head(bucket_name);
    Ref names = require(PyList_New(0));
    tavrin::for_each(records.get(), [&](Ref record) {
        Ref action = item(record.get(), s.n.action.get());
        if (!require(PyObject_RichCompareBool(action.get(), s.act_download.get(), Py_EQ))) return;
        Ref source = item(record.get(), s.n.source.get());
        require(PyList_Append(names.get(), object_of(source.get(), skip).get()));
    });
    if (PyList_GET_SIZE(names.get()) == 0) return records;
    Ref failed = remove_batch(self, bucket_name, names.get());
    tavrin::for_each(failed.get(), [&](Ref name) {
        Ref url = remote_url(bucket_name, name.get());
        record_kept(records.get(), report, url.get());
    });
    return records;
}

}  // namespace

PyMethodDef move_tree_up_def = tavrin::method_def<6, kMoveTreeUp, move_tree_up>(
    "TavrinOstrel._move_tree_up(self, bucket_name, dir_path, prefix='', *, filters=None, report=None)");
PyMethodDef move_file_up_def = tavrin::method_def<4, kMoveFileUp, move_file_up>(
    "TavrinOstrel._move_file_up(self, bucket_name, object_name, file_path)");
PyMethodDef move_tree_down_def = tavrin::method_def<7, kMoveTreeDown, move_tree_down>(
    "TavrinOstrel._move_tree_down(self, bucket_name, prefix, dir_path, *, filters=None, wildcard=False, "
    "report=None)");

}  // namespace ostrel
