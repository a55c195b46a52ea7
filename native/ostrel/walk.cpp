// The two sides of a tree transfer: the local walk at every depth and the
// recursive listing of a prefix.
#include "walk.hpp"

#include <utility>

namespace ostrel {

namespace {

using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The file-type bits of st_mode, the same on every platform CPython runs on.
constexpr long kTypeMask = 0170000;
constexpr long kFolder = 0040000;
constexpr long kLink = 0120000;

long file_type(PyObject* info) {
    return static_cast<long>(tavrin::as_long_long(getattr(info, state().n.st_mode.get()).get()) & kTypeMask);
}

// The str path of a folder argument (os.fspath); TypeError for bytes paths,
// whose names could not become object names.
Ref text_path(PyObject* dir_path) {
    Ref path = call_method(global(state().n.os.get()).get(), state().n.fspath.get(), {dir_path});
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "the folder must be a str path, not %.200s", Py_TYPE(path.get())->tp_name);
        throw tavrin::PyErrOccurred();
    }
    return path;
}

// The names in a folder, sorted.
Ref sorted_names(PyObject* folder) {
    Ref names = call_method(global(state().n.os.get()).get(), state().n.listdir.get(), {folder});
    require(PyList_Sort(names.get()));
    return names;
}

// `relative` + "/" + name, as text and as code points.
void child_of(const LocalEntry* parent, PyObject* name, LocalEntry& entry) {
    if (parent == nullptr) {
        entry.relative = Ref::borrow(name);
        entry.points = code_points(name);
        return;
    }
    entry.relative = concat({parent->relative.get(), state().slash.get(), name});
    entry.points = parent->points + U'/' + code_points(name);
}

// visit(entry) for each name in `folder`, sorted, the entry's names and path set.
template <typename Visit>
void for_each_child(PyObject* folder, const LocalEntry* parent, Visit&& visit) {
    State& s = state();
    Ref names = sorted_names(folder);
    Ref path_module = getattr(global(s.n.os.get()).get(), s.n.path.get());
    tavrin::for_each(names.get(), [&](Ref name) {
        LocalEntry entry;
        child_of(parent, name.get(), entry);
        entry.path = call_method(path_module.get(), s.n.join.get(), {folder, name.get()});
        visit(entry);
    });
}

// True when os.lstat finds a link at `path`; False when it finds nothing.
bool is_link(PyObject* path) {
    try {
        Ref info = call_method(global(state().n.os.get()).get(), state().n.lstat.get(), {path});
        return file_type(info.get()) == kLink;
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        if (!error.matches(PyExc_OSError)) error.reraise();
        return false;
    }
}

class UploadWalk {
public:
    UploadWalk(PyObject* self, const Filter& filter, std::vector<Ref>& skipped)
        : self_(self), filter_(filter), skipped_(skipped), on_path_(require(PyList_New(0))) {}

    void walk(PyObject* folder, const LocalEntry* parent, PyObject* identity) {
        State& s = state();
        require(PyList_Append(on_path_.get(), identity));
        Ref os = global(s.n.os.get());
        for_each_child(folder, parent, [&](LocalEntry& entry) {
            Ref info;
            try {
                info = call_method(os.get(), s.n.stat.get(), {entry.path.get()});
            } catch (const tavrin::PyErrOccurred&) {
                // Unreadable: a file, whose upload meets the error.
                tavrin::PendingError error;
                if (!error.matches(PyExc_OSError)) error.reraise();
            }
            const bool folder_entry = info && file_type(info.get()) == kFolder;
            if (filter_.excludes(entry.points, folder_entry)) return;
            if (!info && is_link(entry.path.get())) {
                skip(s.msg_dangling_link.get(), entry.path);
                return;
            }
            if (!folder_entry) {
                if (info) entry.size = tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get());
                files_.push_back(std::move(entry));
                return;
            }
            Ref inode = getattr(info.get(), s.n.st_ino.get());
            Ref child_identity = Ref::borrow(Py_None);
            if (tavrin::truth(inode)) {
                Ref device = getattr(info.get(), s.n.st_dev.get());
                child_identity = require(PyTuple_Pack(2, device.get(), inode.get()));
                if (tavrin::contains(on_path_.get(), child_identity.get())) {
                    skip(s.msg_link_cycle.get(), entry.path);
                    return;
                }
            }
            walk(entry.path.get(), &entry, child_identity.get());
        });
        require(PySequence_DelItem(on_path_.get(), -1));
    }

    std::vector<LocalEntry> take() { return std::move(files_); }

private:
    void skip(PyObject* message, const Ref& path) {
        Ref shown = call_method(global(state().n.os.get()).get(), state().n.fsdecode.get(), {path.get()});
        warn_about(self_, message, shown.get());
        skipped_.push_back(path);
    }

    PyObject* self_;
    const Filter& filter_;
    std::vector<Ref>& skipped_;
    Ref on_path_;  // identities of the folders the walk is inside
    std::vector<LocalEntry> files_;
};

void walk_target_folder(PyObject* folder, const LocalEntry* parent, const Filter& filter,
                        std::vector<LocalEntry>& found) {
    State& s = state();
    Ref os = global(s.n.os.get());
    for_each_child(folder, parent, [&](LocalEntry& entry) {
        Ref info = call_method(os.get(), s.n.lstat.get(), {entry.path.get()});
        const long type = file_type(info.get());
        entry.kind = type == kFolder ? LocalEntry::folder : type == kLink ? LocalEntry::link : LocalEntry::file;
        entry.size = tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get());
        if (filter.excludes(entry.points, entry.kind == LocalEntry::folder)) return;
        found.push_back(entry);  // a copy: `entry` stays the parent of what the folder holds
        if (entry.kind == LocalEntry::folder) walk_target_folder(entry.path.get(), &entry, filter, found);
    });
}

}  // namespace

bool dangling_link(PyObject* path) {
    State& s = state();
    Ref path_module = getattr(global(s.n.os.get()).get(), s.n.path.get());
    if (tavrin::truth(call_method(path_module.get(), s.n.isfile.get(), {path}))) return false;
    return tavrin::truth(call_method(path_module.get(), s.n.islink.get(), {path})) &&
           !tavrin::truth(call_method(path_module.get(), s.n.exists.get(), {path}));
}

std::vector<LocalEntry> walk_upload(PyObject* self, PyObject* dir_path, const Filter& filter, std::vector<Ref>& skipped) {
    State& s = state();
    Ref root = text_path(dir_path);
    Ref info = call_method(global(s.n.os.get()).get(), s.n.stat.get(), {root.get()});
    if (file_type(info.get()) != kFolder) {
        PyErr_SetObject(PyExc_NotADirectoryError, root.get());
        throw tavrin::PyErrOccurred();
    }
    Ref inode = getattr(info.get(), s.n.st_ino.get());
    Ref identity = Ref::borrow(Py_None);
    if (tavrin::truth(inode)) identity = require(PyTuple_Pack(2, getattr(info.get(), s.n.st_dev.get()).get(), inode.get()));
    UploadWalk walk(self, filter, skipped);
    walk.walk(root.get(), nullptr, identity.get());
    return walk.take();
}

std::vector<LocalEntry> walk_target(PyObject* dir_path, const Filter& filter) {
    State& s = state();
    Ref root = text_path(dir_path);
    std::vector<LocalEntry> found;
    Ref path_module = getattr(global(s.n.os.get()).get(), s.n.path.get());
    if (!tavrin::truth(call_method(path_module.get(), s.n.isdir.get(), {root.get()}))) {
        if (tavrin::truth(call_method(path_module.get(), s.n.lexists.get(), {root.get()}))) {
            PyErr_SetObject(PyExc_NotADirectoryError, root.get());
            throw tavrin::PyErrOccurred();
        }
        return found;
    }
    walk_target_folder(root.get(), nullptr, filter, found);
    return found;
}

Ref folder_prefix(PyObject* prefix) {
    State& s = state();
    if (!PyUnicode_Check(prefix)) {
        PyErr_Format(PyExc_TypeError, "the prefix must be a str, not %.200s", Py_TYPE(prefix)->tp_name);
        throw tavrin::PyErrOccurred();
    }
    const Py_ssize_t length = PyUnicode_GetLength(prefix);
    if (length == 0 || PyUnicode_ReadChar(prefix, length - 1) == '/') return Ref::borrow(prefix);
    return require(PyUnicode_Concat(prefix, s.slash.get()));
}

std::vector<RemoteEntry> list_tree(PyObject* self, PyObject* bucket_name, PyObject* prefix, const Filter& filter) {
    State& s = state();
    Ref listed = concat({prefix, filter.listing_head().get()});
    Ref listing = call_method(engine(self).get(), s.n.list_objects.get(), {bucket_name, listed.get(), Py_True},
                              s.kw_list_objects.get());
    const Py_ssize_t skip = PyUnicode_GetLength(prefix);
    std::vector<RemoteEntry> found;
    tavrin::for_each(listing.get(), [&](Ref entry) {
        RemoteEntry object;
        object.name = getattr(entry.get(), s.n.object_name.get());
        if (!PyUnicode_Check(object.name.get())) return;
        object.relative = require(PyUnicode_Substring(object.name.get(), skip, PY_SSIZE_T_MAX));
        object.points = code_points(object.relative.get());
        if (!filter.selects(object.points)) return;
        std::u32string checked = object.points;
        const bool marker = !checked.empty() && checked.back() == U'/';
        if (marker) checked.pop_back();
        if (!checked.empty() && filter.excludes_within(checked, marker)) return;
        object.size = getattr(entry.get(), s.n.size.get());
        object.etag = getattr(entry.get(), s.n.etag.get());
        found.push_back(std::move(object));
    });
    return found;
}

}  // namespace ostrel
