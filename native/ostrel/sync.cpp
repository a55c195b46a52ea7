// Tree transfers at every depth: the folder's files uploaded under a prefix,
// the objects under a prefix downloaded into a folder, the objects under a
// prefix removed. Each side is walked or listed once (walk.cpp); exclude
// patterns (filters.cpp) leave paths out of both; the content comparison is
// skip_unchanged's (unchanged.cpp), made where the transfer would run; the
// transfers go on the call's pool (transfers.cpp). Deletion of what the
// source lacks comes last, only when every transfer succeeded and nothing
// was skipped.
#include "sync.hpp"

#include "config.hpp"
#include "digests.hpp"
#include "downloads.hpp"
#include "filters.hpp"
#include "multipart.hpp"
#include "parts.hpp"
#include "progress.hpp"
#include "ranges.hpp"
#include "removal.hpp"
#include "transfers.hpp"
#include "unchanged.hpp"
#include "verify.hpp"
#include "walk.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;
using tavrin::truth;

// The keyword-only options the tree transfers share.
struct TreeOptions {
    Filter filter;
    bool skip_unchanged = false;
    bool size_only = false;  // skip_unchanged="size"
    bool delete_missing = false;
    bool dry_run = false;
    std::shared_ptr<Outcomes> outcomes;
};

TreeOptions tree_options(PyObject* exclude, PyObject* skip_unchanged, PyObject* delete_missing, PyObject* dry_run,
                         PyObject* report) {
    TreeOptions options;
    options.filter = Filter::from(exclude);
    options.skip_unchanged = skip_unchanged && truth(skip_unchanged);
    options.size_only = size_only_from(skip_unchanged);
    options.delete_missing = delete_missing && truth(delete_missing);
    options.dry_run = dry_run && truth(dry_run);
    if (report != nullptr && report != Py_None && !PyCallable_Check(report)) {
        PyErr_Format(PyExc_TypeError, "report must be callable or None, not %.200s", Py_TYPE(report)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    options.outcomes = std::make_shared<Outcomes>(report);
    return options;
}

// The options of _upload_tree and _download_tree, the arguments 4 to 8.
TreeOptions tree_options(const Args<9>& a) {
    return tree_options(a.get_or(4, nullptr), a.get_or(5, nullptr), a.get_or(6, nullptr), a.get_or(7, nullptr),
                        a.get_or(8, nullptr));
}

// "s3://<bucket>/<name>"
Ref remote_url(PyObject* bucket_name, PyObject* object_name) {
    return concat({state().s3_scheme.get(), bucket_name, state().slash.get(), object_name});
}

Ref size_object(long long size) { return require(PyLong_FromLongLong(size)); }

// The names of `remote` not in `kept`, to delete: batch removal (unless a
// dry run), a "delete" record per removed object and a "skip" record per
// failure. Returns the number of failures.
long long delete_objects(PyObject* self, PyObject* bucket_name, const std::vector<const RemoteEntry*>& stale,
                         const TreeOptions& options) {
    State& s = state();
    Ref names = require(PyList_New(0));
    for (const RemoteEntry* entry : stale) require(PyList_Append(names.get(), entry->name.get()));
    Ref failed = options.dry_run ? require(PySet_New(nullptr)) : remove_batch(self, bucket_name, names.get());
    long long failures = 0;
    for (const RemoteEntry* entry : stale) {
        const bool failure = require(PySet_Contains(failed.get(), entry->name.get())) != 0;
        failures += failure;
        Ref url = remote_url(bucket_name, entry->name.get());
        options.outcomes->add(Outcomes::record(failure ? s.act_skip.get() : s.act_delete.get(), Py_None, url.get(),
                                               entry->size.get()).get());
    }
    return failures;
}

// TavrinOstrel._upload_tree(self, bucket_name, dir_path, prefix='', *, exclude=None,
//                           skip_unchanged=False, delete=False, dry_run=False, report=None)
constexpr Signature<9> kUploadTree{
    "_upload_tree",
    {"self", "bucket_name", "dir_path", "prefix", "exclude", "skip_unchanged", "delete", "dry_run", "report"},
    3,
    4};
Ref upload_tree(const Args<9>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* dir_path = a[2];
    Ref prefix = folder_prefix(a.get_or(3, s.empty.get()));
    TreeOptions options = tree_options(a);
    ProgressCall reporting(self, s.n.upload_dir.get(), dir_path, 0);
    const Progress& progress = reporting.progress();
    with_progress(reporting, [&] {
        std::vector<Ref> cycles;  // links back into the walk, skipped
        std::vector<LocalEntry> files = walk_upload(self, dir_path, options.filter, cycles);
        for (const Ref& path : cycles) {
            options.outcomes->add(Outcomes::record(s.act_skip.get(), path.get(), Py_None, Py_None).get());
        }
        std::vector<RemoteEntry> remote;
        std::unordered_map<std::u32string, const RemoteEntry*> listed;
        if (options.skip_unchanged || options.delete_missing) {
            remote = list_tree(self, bucket_name, prefix.get(), options.filter);
            for (const RemoteEntry& entry : remote) listed.emplace(entry.points, &entry);
        }
        if (reporting.owner()) {
            long long bytes = 0;
            for (const LocalEntry& file : files) bytes += file.size;
            reporting.begin(static_cast<long long>(files.size()), bytes);
        }
        with_transfers(self, [&](Transfers& transfers) {
            const bool own_upload = transfers.pooled() && !options.dry_run &&
                                    own_method(self, getattr(self, s.n._upload_file.get()).get(), s.upload_file_function);
            for (const LocalEntry& file : files) {
                Ref object_name = require(PyUnicode_Concat(prefix.get(), file.relative.get()));
                ObjectTransfer object{s.n._upload_file.get(), Ref::borrow(bucket_name), object_name, file.path,
                                      Ref(), Ref(), Ref()};
                if (options.skip_unchanged) {
                    auto found = listed.find(file.points);
                    if (found != listed.end()) {
                        object.size = found->second->size;
                        object.etag = found->second->etag;
                        object.size_only = options.size_only;
                    }
                }
                Ref url = remote_url(bucket_name, object_name.get());
                object.record = Outcomes::record(s.act_upload.get(), file.path.get(), url.get(), size_object(file.size).get());
                object.outcomes = options.outcomes;
                object.dry_run = options.dry_run;
                std::unique_ptr<Task> direct;
                if (own_upload) direct = file_upload_in_parts(self, bucket_name, object_name.get(), file.path.get(), progress);
                transfer_object(transfers, self, progress, std::move(object), std::move(direct));
            }
        });
        if (!options.delete_missing || !cycles.empty()) return;
        std::unordered_set<std::u32string> kept;
        for (const LocalEntry& file : files) {
            kept.insert(file.points);
            // The folders above a file keep their markers.
            for (std::size_t slash = file.points.find(U'/'); slash != std::u32string::npos;
                 slash = file.points.find(U'/', slash + 1)) {
                kept.insert(file.points.substr(0, slash + 1));
            }
        }
        std::vector<const RemoteEntry*> stale;
        for (const RemoteEntry& entry : remote) {
            if (!entry.points.empty() && kept.count(entry.points) == 0) stale.push_back(&entry);
        }
        delete_objects(self, bucket_name, stale, options);
    });
    return options.outcomes->records();
}

// What a download needs to know of one local path: the kind of the entry
// there, if any.
using LocalKinds = std::unordered_map<std::u32string, LocalEntry::Kind>;

bool local_is(const LocalKinds& local, const std::u32string& path, bool folder) {
    auto found = local.find(path);
    return found != local.end() && (found->second == LocalEntry::folder) == folder;
}

// The download of one listed object below kPartedMinimum: one request with
// If-Match on the listed ETag (fetch_listed_file), counted as done once written.
class ListedFileTask final : public Task {
public:
    ListedFileTask(PyObject* self, PyObject* bucket_name, const RemoteEntry& object, PyObject* target, Progress progress)
        : self_(Ref::borrow(self)),
          bucket_name_(Ref::borrow(bucket_name)),
          object_name_(object.name),
          etag_(object.etag),
          target_(Ref::borrow(target)),
          progress_(std::move(progress)) {}

    void run(Work&) override {
        fetch_listed_file(engine(self_.get()).get(), bucket_name_.get(), object_name_.get(), target_.get(), etag_.get(),
                          progress_, configured_verify(self_.get()));
        if (configured_verify(self_.get())) Digests(self_.get()).written(target_.get(), etag_.get());
        if (progress_) progress_.file_done(object_name_.get());
    }

private:
    Ref self_;
    Ref bucket_name_;
    Ref object_name_;
    Ref etag_;
    Ref target_;
    Progress progress_;
};

// The task that downloads `object` when _download_file is this class's own:
// by ranges on the pool when it is big, else in one request when the
// listing gave its ETag; empty (the method is called) otherwise.
std::unique_ptr<Task> tree_download(Transfers& transfers, PyObject* self, PyObject* bucket_name,
                                    const RemoteEntry& object, PyObject* target, const Progress& progress) {
    const bool big = PyLong_Check(object.size.get()) && tavrin::as_long_long(object.size.get()) >= kPartedMinimum;
    if (transfers.pooled() && big) {
        return object_download(self, bucket_name, object.name.get(), target, object.size.get(), progress);
    }
    if (PyUnicode_Check(object.etag.get()) && PyUnicode_Check(target)) {
        return std::make_unique<ListedFileTask>(self, bucket_name, object, target, progress);
    }
    if (transfers.pooled()) return object_download(self, bucket_name, object.name.get(), target, object.size.get(), progress);
    return nullptr;
}

// One object of a download as selected: its components and target.
struct Selected {
    const RemoteEntry* object;
    Ref target;
};

// TavrinOstrel._download_tree(self, bucket_name, prefix, dir_path, *, exclude=None,
//                             skip_unchanged=False, delete=False, dry_run=False, report=None)
//
// Every object under the prefix, at every depth, into the folder under its
// relative name. A name that would not land inside the folder as itself (an
// empty, "." or ".." component, or one that _download_dir refuses on this
// platform) is skipped with _download_dir's warning; so is an object that
// needs a file where another object or a local entry that is not a folder
// needs a folder (or the reverse), and one that would be written through a
// local link. An object whose name ends in "/" makes its folder.
constexpr Signature<9> kDownloadTree{
    "_download_tree",
    {"self", "bucket_name", "prefix", "dir_path", "exclude", "skip_unchanged", "delete", "dry_run", "report"},
    4,
    4};
Ref download_tree(const Args<9>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    Ref prefix = folder_prefix(a[2]);
    PyObject* dir_path = a[3];
    TreeOptions options = tree_options(a);
    ProgressCall reporting(self, s.n.download_dir.get(), a[2], 0);
    const Progress& progress = reporting.progress();
    with_progress(reporting, [&] {
        std::vector<RemoteEntry> remote = list_tree(self, bucket_name, prefix.get(), options.filter);
        std::vector<LocalEntry> existing = walk_target(dir_path, options.filter);
        LocalKinds local;
        for (const LocalEntry& entry : existing) local.emplace(entry.points, entry.kind);

        Ref os = global(s.n.os.get());
        Ref path_module = getattr(os.get(), s.n.path.get());
        std::unordered_set<std::u32string> files, folders;
        std::vector<Selected> selected;
        std::vector<Ref> made_folders;
        long long skipped = 0;
        long long bytes = 0;
        for (const RemoteEntry& object : remote) {
            if (object.points.empty()) continue;  // the folder's own marker
            const bool marker = object.points.back() == U'/';
            std::u32string path = object.points;
            Ref relative = Ref::borrow(object.relative.get());
            if (marker) {
                path.pop_back();
                relative = require(PyUnicode_Substring(relative.get(), 0, PyUnicode_GetLength(relative.get()) - 1));
            }
            auto skip = [&](PyObject* message) {
                warn_about(self, message, object.name.get());
                ++skipped;
                Ref url = remote_url(bucket_name, object.name.get());
                options.outcomes->add(Outcomes::record(s.act_skip.get(), url.get(), Py_None, object.size.get()).get());
            };
            Ref components = call_method(relative.get(), s.n.split.get(), {s.slash.get()});
            bool safe = true;
            Ref target = Ref::borrow(dir_path);
            tavrin::for_each(components.get(), [&](Ref component) {
                if (!safe) return;
                if (PyUnicode_GetLength(component.get()) == 0 || unsafe_file_name(component.get())) {
                    safe = false;
                    return;
                }
                target = call_method(path_module.get(), s.n.join.get(), {target.get(), component.get()});
            });
            if (!safe) {
                skip(s.msg_unsafe_name.get());
                continue;
            }
            // Every folder above must be free to be a folder: not a file
            // another object needs, not a local file or link.
            bool clash = false;
            for (std::size_t slash = path.find(U'/'); slash != std::u32string::npos && !clash;
                 slash = path.find(U'/', slash + 1)) {
                const std::u32string above = path.substr(0, slash);
                clash = files.count(above) > 0 || (local.count(above) > 0 && !local_is(local, above, true));
            }
            if (marker) {
                clash = clash || files.count(path) > 0 || (local.count(path) > 0 && !local_is(local, path, true));
            } else {
                clash = clash || folders.count(path) > 0 || local_is(local, path, true);
            }
            if (clash) {
                skip(s.msg_path_conflict.get());
                continue;
            }
            for (std::size_t slash = path.find(U'/'); slash != std::u32string::npos; slash = path.find(U'/', slash + 1)) {
                folders.insert(path.substr(0, slash));
            }
            if (marker) {
                folders.insert(path);
                made_folders.push_back(target);
                continue;
            }
            files.insert(path);
            if (PyLong_Check(object.size.get())) bytes += tavrin::as_long_long(object.size.get());
            selected.push_back(Selected{&object, target});
        }
        if (!options.dry_run) {
            call_method(os.get(), s.n.makedirs.get(), {dir_path, Py_True}, s.kw_exist_ok.get());
            for (const Ref& folder : made_folders) {
                call_method(os.get(), s.n.makedirs.get(), {folder.get(), Py_True}, s.kw_exist_ok.get());
            }
        }
        if (reporting.owner()) reporting.begin(static_cast<long long>(selected.size()), bytes);

        with_transfers(self, [&](Transfers& transfers) {
            const bool own_download =
                !options.dry_run &&
                own_method(self, getattr(self, s.n._download_file.get()).get(), s.download_file_function);
            for (const Selected& chosen : selected) {
                const RemoteEntry& object = *chosen.object;
                ObjectTransfer transfer{s.n._download_file.get(), Ref::borrow(bucket_name), object.name, chosen.target,
                                        Ref(), Ref(), Ref(), false};
                if (options.skip_unchanged) {
                    transfer.size = object.size;
                    transfer.etag = object.etag;
                    transfer.size_only = options.size_only;
                }
                Ref url = remote_url(bucket_name, object.name.get());
                transfer.record =
                    Outcomes::record(s.act_download.get(), url.get(), chosen.target.get(), object.size.get());
                transfer.outcomes = options.outcomes;
                transfer.dry_run = options.dry_run;
                std::unique_ptr<Task> direct;
                if (own_download) direct = tree_download(transfers, self, bucket_name, object, chosen.target.get(), progress);
                transfer_object(transfers, self, progress, std::move(transfer), std::move(direct));
            }
        });
        if (!options.delete_missing || skipped > 0) return;

        // Local files and links that no object needs, then the folders
        // their removal leaves empty (never the folder itself, never one an
        // object needs).
        std::vector<const LocalEntry*> emptied;
        for (const LocalEntry& entry : existing) {
            if (entry.kind == LocalEntry::folder || files.count(entry.points) > 0) continue;
            if (!options.dry_run) {
                try {
                    call_method(os.get(), s.n.remove.get(), {entry.path.get()});
                } catch (const tavrin::PyErrOccurred&) {
                    // A link to a folder on Windows is removed as a folder.
                    tavrin::PendingError error;
                    if (entry.kind != LocalEntry::link || !error.matches(PyExc_OSError)) error.reraise();
                    call_method(os.get(), s.n.rmdir.get(), {entry.path.get()});
                }
            }
            Ref size = size_object(entry.size);
            options.outcomes->add(Outcomes::record(s.act_delete.get(), Py_None, entry.path.get(), size.get()).get());
            emptied.push_back(&entry);
        }
        if (options.dry_run) return;
        // Folders are listed before what they hold: from the last entry
        // backwards, every folder comes after everything under it.
        std::unordered_set<std::u32string> touched;
        for (const LocalEntry* entry : emptied) {
            for (std::size_t slash = entry->points.find(U'/'); slash != std::u32string::npos;
                 slash = entry->points.find(U'/', slash + 1)) {
                touched.insert(entry->points.substr(0, slash));
            }
        }
        for (auto entry = existing.rbegin(); entry != existing.rend(); ++entry) {
            if (entry->kind != LocalEntry::folder || touched.count(entry->points) == 0 ||
                folders.count(entry->points) > 0) {
                continue;
            }
            try {
                call_method(os.get(), s.n.rmdir.get(), {entry->path.get()});  // fails unless empty
            } catch (const tavrin::PyErrOccurred&) {
                tavrin::PendingError error;
                if (!error.matches(PyExc_OSError)) error.reraise();
            }
        }
    });
    return options.outcomes->records();
}

// TavrinOstrel._remove_tree(self, bucket_name, prefix, *, exclude=None, dry_run=False, report=None)
//
// Every object under the prefix ("" for the whole bucket), at every depth,
// by batch removal.
constexpr Signature<6> kRemoveTree{
    "_remove_tree", {"self", "bucket_name", "prefix", "exclude", "dry_run", "report"}, 3, 3};
Ref remove_tree(const Args<6>& a) {
    Ref prefix = folder_prefix(a[2]);
    TreeOptions options = tree_options(a.get_or(3, nullptr), nullptr, nullptr, a.get_or(4, nullptr), a.get_or(5, nullptr));
    std::vector<RemoteEntry> remote = list_tree(a[0], a[1], prefix.get(), options.filter);
    std::vector<const RemoteEntry*> stale;
    for (const RemoteEntry& entry : remote) stale.push_back(&entry);
    delete_objects(a[0], a[1], stale, options);
    return options.outcomes->records();
}

}  // namespace

Outcomes::Outcomes(PyObject* report) : records_(require(PyList_New(0))) {
    if (report != nullptr && report != Py_None) report_ = Ref::borrow(report);
}

Ref Outcomes::record(PyObject* action, PyObject* source, PyObject* target, PyObject* size) {
    State& s = state();
    Ref record = require(PyDict_New());
    require(PyDict_SetItem(record.get(), s.n.action.get(), action));
    require(PyDict_SetItem(record.get(), s.n.source.get(), source));
    require(PyDict_SetItem(record.get(), s.n.target.get(), target));
    require(PyDict_SetItem(record.get(), s.n.size.get(), size));
    return record;
}

void Outcomes::add(PyObject* record) const {
    require(PyList_Append(records_.get(), record));
    if (report_) tavrin::call(report_.get(), {record});
}

PyMethodDef upload_tree_def = tavrin::method_def<9, kUploadTree, upload_tree>(
    "TavrinOstrel._upload_tree(self, bucket_name, dir_path, prefix='', *, exclude=None, skip_unchanged=False, "
    "delete=False, dry_run=False, report=None)");
PyMethodDef download_tree_def = tavrin::method_def<9, kDownloadTree, download_tree>(
    "TavrinOstrel._download_tree(self, bucket_name, prefix, dir_path, *, exclude=None, skip_unchanged=False, "
    "delete=False, dry_run=False, report=None)");
PyMethodDef remove_tree_def = tavrin::method_def<6, kRemoveTree, remove_tree>(
    "TavrinOstrel._remove_tree(self, bucket_name, prefix, *, exclude=None, dry_run=False, report=None)");

}  // namespace ostrel
