// Tree transfers at every depth: the folder's files uploaded under a prefix,
// the objects under a prefix downloaded into a folder, the objects under a
// prefix removed. Each side is walked or listed once (walk.cpp); exclude
// patterns (filters.cpp) leave paths out of both; the content comparison is
// skip_unchanged's (unchanged.cpp), made where the transfer would run; the
// transfers go on the call's pool (transfers.cpp). Deletion of what the
// source lacks comes last, only when every transfer succeeded and nothing
// was skipped.
#include "digests.hpp"
#include "downloads.hpp"
#include "filters.hpp"
#include "multipart.hpp"
#include "outcomes.hpp"
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

// The options of _upload_tree and _download_tree: the arguments 4 to 8, and 9 (filters).
template <std::size_t N>
TreeOptions tree_arguments(const Args<N>& a) {
    return tree_options(a.get_or(4, nullptr), a.get_or(9, nullptr), a.get_or(5, nullptr), a.get_or(6, nullptr),
                        a.get_or(7, nullptr), a.get_or(8, nullptr));
}

// visit(folder) for each folder above a relative name: "a/b/c" gives "a",
// then "a/b".
template <typename Visit>
void for_each_folder_above(const std::u32string& path, Visit&& visit) {
    for (std::size_t slash = path.find(U'/'); slash != std::u32string::npos; slash = path.find(U'/', slash + 1)) {
        visit(path.substr(0, slash));
    }
}

// An upload's side of the comparison: the objects under the prefix, listed
// once when skip_unchanged or delete needs them, and their index by name.
struct Listed {
    std::vector<RemoteEntry> remote;
    std::unordered_map<std::u32string, const RemoteEntry*> by_name;
};

void list_for_upload(PyObject* self, PyObject* bucket_name, PyObject* prefix, const TreeOptions& options,
                     Listed& listed) {
    if (!options.skip_unchanged && !options.delete_missing) return;
    listed.remote = list_tree(self, bucket_name, prefix, options.filter);
    for (const RemoteEntry& entry : listed.remote) listed.by_name.emplace(entry.points, &entry);
}

// Each walked file to its object under `prefix` on the call's pool.
void send_uploads(PyObject* self, PyObject* bucket_name, PyObject* prefix, const std::vector<LocalEntry>& files,
                  const Listed& listed, const TreeOptions& options, const Progress& progress) {
    State& s = state();
    with_transfers(self, [&](Transfers& transfers) {
        const bool own_upload = transfers.pooled() && !options.dry_run &&
                                own_method(self, getattr(self, s.n._upload_file.get()).get(), s.upload_file_function);
        for (const LocalEntry& file : files) {
            Ref object_name = require(PyUnicode_Concat(prefix, file.relative.get()));
            ObjectTransfer object{s.n._upload_file.get(), Ref::borrow(bucket_name), object_name, file.path,
                                  Ref(), Ref(), Ref()};
            if (options.skip_unchanged) {
                auto found = listed.by_name.find(file.points);
                if (found != listed.by_name.end()) {
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
}

// The listed objects no walked file is, nor the marker of a folder above one.
std::vector<const RemoteEntry*> stale_objects(const std::vector<LocalEntry>& files, const Listed& listed) {
    std::unordered_set<std::u32string> kept;
    for (const LocalEntry& file : files) keep_with_folders(kept, file.points);
    std::vector<const RemoteEntry*> stale;
    for (const RemoteEntry& entry : listed.remote) {
        if (!entry.points.empty() && kept.count(entry.points) == 0) stale.push_back(&entry);
    }
    return stale;
}

// TavrinOstrel._upload_tree(self, bucket_name, dir_path, prefix='', *, exclude=None,
//                           skip_unchanged=False, delete=False, dry_run=False, report=None, filters=None)
constexpr Signature<10> kUploadTree{
    "_upload_tree",
    {"self", "bucket_name", "dir_path", "prefix", "exclude", "skip_unchanged", "delete", "dry_run", "report", "filters"},
    3,
    4};
Ref upload_tree(const Args<10>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* dir_path = a[2];
    Ref prefix = folder_prefix(a.get_or(3, s.empty.get()));
    TreeOptions options = tree_arguments(a);
    ProgressCall reporting(self, s.n.upload_dir.get(), dir_path, 0);
    with_progress(reporting, [&] {
        std::vector<Ref> skipped;  // links back into the walk or to nothing
        std::vector<LocalEntry> files = walk_upload(self, dir_path, options.filter, skipped);
        for (const Ref& path : skipped) {
            options.outcomes->add(Outcomes::record(s.act_skip.get(), path.get(), Py_None, Py_None).get());
        }
        Listed listed;
        list_for_upload(self, bucket_name, prefix.get(), options, listed);
        if (reporting.owner()) {
            long long bytes = 0;
            for (const LocalEntry& file : files) bytes += file.size;
            reporting.begin(static_cast<long long>(files.size()), bytes);
        }
        send_uploads(self, bucket_name, prefix.get(), files, listed, options, reporting.progress());
        if (!options.delete_missing || !skipped.empty()) return;
        delete_objects(self, bucket_name, stale_objects(files, listed), options);
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

// What a download does, as the selection decides it: the files and folders
// it makes (names relative to the folder, without a trailing "/"), the
// objects to fetch and their total size, the folders that markers make,
// and how many objects were skipped.
struct DownloadPlan {
    std::unordered_set<std::u32string> files;
    std::unordered_set<std::u32string> folders;
    std::vector<Selected> selected;
    std::vector<Ref> made_folders;
    long long skipped = 0;
    long long bytes = 0;
};

// The local path of `relative` below `dir_path`, one os.path.join per
// component; empty when a component is empty, "." or ".." or a name
// _download_dir refuses on this platform.
Ref checked_target(PyObject* dir_path, PyObject* relative) {
    State& s = state();
    Ref path_module = getattr(global(s.n.os.get()).get(), s.n.path.get());
    Ref components = call_method(relative, s.n.split.get(), {s.slash.get()});
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
    return safe ? target : Ref();
}

// True when `path` cannot be what the object needs: a folder above it is a
// file another object needs, or a local entry that is not a folder; or it
// is itself a file where a folder is needed (a marker), or the reverse.
bool clashes(const DownloadPlan& plan, const LocalKinds& local, const std::u32string& path, bool marker) {
    bool clash = false;
    for_each_folder_above(path, [&](const std::u32string& above) {
        clash = clash || plan.files.count(above) > 0 || (local.count(above) > 0 && !local_is(local, above, true));
    });
    if (marker) return clash || plan.files.count(path) > 0 || (local.count(path) > 0 && !local_is(local, path, true));
    return clash || plan.folders.count(path) > 0 || local_is(local, path, true);
}

// Adds `object` to the plan, or skips it with a warning and a "skip" record.
void select_object(PyObject* self, PyObject* bucket_name, PyObject* dir_path, const RemoteEntry& object,
                   const LocalKinds& local, const TreeOptions& options, DownloadPlan& plan) {
    State& s = state();
    const bool marker = object.points.back() == U'/';
    std::u32string path = object.points;
    Ref relative = Ref::borrow(object.relative.get());
    if (marker) {
        path.pop_back();
        relative = require(PyUnicode_Substring(relative.get(), 0, PyUnicode_GetLength(relative.get()) - 1));
    }
    Ref target = checked_target(dir_path, relative.get());
    PyObject* refusal = !target ? s.msg_unsafe_name.get() : clashes(plan, local, path, marker) ? s.msg_path_conflict.get() : nullptr;
    if (refusal != nullptr) {
        warn_about(self, refusal, object.name.get());
        ++plan.skipped;
        Ref url = remote_url(bucket_name, object.name.get());
        options.outcomes->add(Outcomes::record(s.act_skip.get(), url.get(), Py_None, object.size.get()).get());
        return;
    }
    for_each_folder_above(path, [&](std::u32string above) { plan.folders.insert(std::move(above)); });
    if (marker) {
        plan.folders.insert(path);
        plan.made_folders.push_back(target);
        return;
    }
    plan.files.insert(path);
    if (PyLong_Check(object.size.get())) plan.bytes += tavrin::as_long_long(object.size.get());
    plan.selected.push_back(Selected{&object, target});
}

// The folder and the folders that markers make (not in a dry run).
void make_folders(PyObject* dir_path, const DownloadPlan& plan, const TreeOptions& options) {
    if (options.dry_run) return;
    State& s = state();
    Ref os = global(s.n.os.get());
    call_method(os.get(), s.n.makedirs.get(), {dir_path, Py_True}, s.kw_exist_ok.get());
    for (const Ref& folder : plan.made_folders) {
        call_method(os.get(), s.n.makedirs.get(), {folder.get(), Py_True}, s.kw_exist_ok.get());
    }
}

// Each selected object to its target on the call's pool.
void send_downloads(PyObject* self, PyObject* bucket_name, const DownloadPlan& plan, const TreeOptions& options,
                    const Progress& progress) {
    State& s = state();
    with_transfers(self, [&](Transfers& transfers) {
        const bool own_download =
            !options.dry_run && own_method(self, getattr(self, s.n._download_file.get()).get(), s.download_file_function);
        for (const Selected& chosen : plan.selected) {
            const RemoteEntry& object = *chosen.object;
            ObjectTransfer transfer{s.n._download_file.get(), Ref::borrow(bucket_name), object.name, chosen.target,
                                    Ref(), Ref(), Ref(), false};
            if (options.skip_unchanged) {
                transfer.size = object.size;
                transfer.etag = object.etag;
                transfer.size_only = options.size_only;
            }
            Ref url = remote_url(bucket_name, object.name.get());
            transfer.record = Outcomes::record(s.act_download.get(), url.get(), chosen.target.get(), object.size.get());
            transfer.outcomes = options.outcomes;
            transfer.dry_run = options.dry_run;
            std::unique_ptr<Task> direct;
            if (own_download) direct = tree_download(transfers, self, bucket_name, object, chosen.target.get(), progress);
            transfer_object(transfers, self, progress, std::move(transfer), std::move(direct));
        }
    });
}

// Local files and links that no object needs, removed (unless a dry run)
// with a "delete" record each. Returns the removed entries.
std::vector<const LocalEntry*> delete_local_files(const std::vector<LocalEntry>& existing, const DownloadPlan& plan,
                                                  const TreeOptions& options) {
    State& s = state();
    Ref os = global(s.n.os.get());
    std::vector<const LocalEntry*> removed;
    for (const LocalEntry& entry : existing) {
        if (entry.kind == LocalEntry::folder || plan.files.count(entry.points) > 0) continue;
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
        removed.push_back(&entry);
    }
    return removed;
}

// The folders that the removal of `removed` leaves empty (never the folder
// itself, never one an object needs).
void remove_emptied_folders(const std::vector<LocalEntry>& existing, const std::vector<const LocalEntry*>& removed,
                            const DownloadPlan& plan) {
    State& s = state();
    Ref os = global(s.n.os.get());
    std::unordered_set<std::u32string> touched;
    for (const LocalEntry* entry : removed) {
        for_each_folder_above(entry->points, [&](std::u32string above) { touched.insert(std::move(above)); });
    }
    // Folders are listed before what they hold: from the last entry
    // backwards, every folder comes after everything under it.
    for (auto entry = existing.rbegin(); entry != existing.rend(); ++entry) {
        if (entry->kind != LocalEntry::folder || touched.count(entry->points) == 0 ||
            plan.folders.count(entry->points) > 0) {
            continue;
        }
        try {
            call_method(os.get(), s.n.rmdir.get(), {entry->path.get()});  // fails unless empty
        } catch (const tavrin::PyErrOccurred&) {
            tavrin::PendingError error;
            if (!error.matches(PyExc_OSError)) error.reraise();
        }
    }
}

// TavrinOstrel._download_tree(self, bucket_name, prefix, dir_path, *, exclude=None,
//                             skip_unchanged=False, delete=False, dry_run=False, report=None,
//                             filters=None, wildcard=False)
//
// Every object under the prefix, at every depth, into the folder under its
// relative name. A name that would not land inside the folder as itself (an
// empty, "." or ".." component, or one that _download_dir refuses on this
// platform) is skipped with _download_dir's warning; so is an object that
// needs a file where another object or a local entry that is not a folder
// needs a folder (or the reverse), and one that would be written through a
// local link. An object whose name ends in "/" makes its folder.
constexpr Signature<11> kDownloadTree{
    "_download_tree",
    {"self", "bucket_name", "prefix", "dir_path", "exclude", "skip_unchanged", "delete", "dry_run", "report",
     "filters", "wildcard"},
    4,
    4};
Ref download_tree(const Args<11>& a) {
    State& s = state();
    PyObject* self = a[0];
    PyObject* bucket_name = a[1];
    PyObject* dir_path = a[3];
    TreeOptions options = tree_arguments(a);
    Ref prefix = tree_prefix(a[2], a.get_or(10, nullptr), options.filter);
    ProgressCall reporting(self, s.n.download_dir.get(), a[2], 0);
    with_progress(reporting, [&] {
        std::vector<RemoteEntry> remote = list_tree(self, bucket_name, prefix.get(), options.filter);
        std::vector<LocalEntry> existing = walk_target(dir_path, options.filter);
        LocalKinds local;
        for (const LocalEntry& entry : existing) local.emplace(entry.points, entry.kind);
        DownloadPlan plan;
        for (const RemoteEntry& object : remote) {
            if (!object.points.empty()) select_object(self, bucket_name, dir_path, object, local, options, plan);
        }
        make_folders(dir_path, plan, options);
        if (reporting.owner()) reporting.begin(static_cast<long long>(plan.selected.size()), plan.bytes);
        send_downloads(self, bucket_name, plan, options, reporting.progress());
        if (!options.delete_missing || plan.skipped > 0) return;
        std::vector<const LocalEntry*> removed = delete_local_files(existing, plan, options);
        if (!options.dry_run) remove_emptied_folders(existing, removed, plan);
    });
    return options.outcomes->records();
}

// TavrinOstrel._remove_tree(self, bucket_name, prefix, *, exclude=None, dry_run=False, report=None,
//                           filters=None, wildcard=False)
//
// Every object under the prefix ("" for the whole bucket), at every depth,
// by batch removal; with `wildcard`, every object the prefix's pattern selects.
constexpr Signature<8> kRemoveTree{
    "_remove_tree", {"self", "bucket_name", "prefix", "exclude", "dry_run", "report", "filters", "wildcard"}, 3, 3};
Ref remove_tree(const Args<8>& a) {
    TreeOptions options = tree_options(a.get_or(3, nullptr), a.get_or(6, nullptr), nullptr, nullptr,
                                       a.get_or(4, nullptr), a.get_or(5, nullptr));
    Ref prefix = tree_prefix(a[2], a.get_or(7, nullptr), options.filter);
    std::vector<RemoteEntry> remote = list_tree(a[0], a[1], prefix.get(), options.filter);
    std::vector<const RemoteEntry*> stale;
    for (const RemoteEntry& entry : remote) stale.push_back(&entry);
    delete_objects(a[0], a[1], stale, options);
    return options.outcomes->records();
}

}  // namespace

TreeOptions tree_options(PyObject* exclude, PyObject* filters, PyObject* skip_unchanged, PyObject* delete_missing,
                         PyObject* dry_run, PyObject* report) {
    TreeOptions options;
    options.filter = Filter::from(exclude, filters);
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

void keep_with_folders(std::unordered_set<std::u32string>& kept, const std::u32string& path) {
    kept.insert(path);
    for (std::size_t slash = path.find(U'/'); slash != std::u32string::npos; slash = path.find(U'/', slash + 1)) {
        kept.insert(path.substr(0, slash + 1));
    }
}

Ref tree_prefix(PyObject* prefix, PyObject* wildcard, Filter& filter) {
    if (wildcard != nullptr && truth(wildcard)) return filter.select_wildcard(prefix);
    return folder_prefix(prefix);
}

Ref remote_url(PyObject* bucket_name, PyObject* object_name) {
    return concat({state().s3_scheme.get(), bucket_name, state().slash.get(), object_name});
}

Ref size_object(long long size) { return require(PyLong_FromLongLong(size)); }

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

PyMethodDef upload_tree_def = tavrin::method_def<10, kUploadTree, upload_tree>(
    "TavrinOstrel._upload_tree(self, bucket_name, dir_path, prefix='', *, exclude=None, skip_unchanged=False, "
    "delete=False, dry_run=False, report=None, filters=None)");
PyMethodDef download_tree_def = tavrin::method_def<11, kDownloadTree, download_tree>(
    "TavrinOstrel._download_tree(self, bucket_name, prefix, dir_path, *, exclude=None, skip_unchanged=False, "
    "delete=False, dry_run=False, report=None, filters=None, wildcard=False)");
PyMethodDef remove_tree_def = tavrin::method_def<8, kRemoveTree, remove_tree>(
    "TavrinOstrel._remove_tree(self, bucket_name, prefix, *, exclude=None, dry_run=False, report=None, "
    "filters=None, wildcard=False)");

}  // namespace ostrel
