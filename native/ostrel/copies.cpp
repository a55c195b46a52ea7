// Copies and moves from store to store. A tree copy lists its source once
// (a wildcard: one listing of its literal prefix), compares with one listing
// of the target when asked to (skip_unchanged, delete), and runs the copies
// on the call's pool. The check of a moved object: the copy has the listed
// size and, where both ETags are MD5 digests of the content, the same ETag.
#include "copies.hpp"

#include "filters.hpp"
#include "removal.hpp"
#include "outcomes.hpp"
#include "transfers.hpp"
#include "verify.hpp"
#include "walk.hpp"

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::interned;
using tavrin::require;

// One object to copy: where from, where to, and the source as listed or
// stated (its size and ETag; None when not known).
struct Copy {
    Ref source_bucket;
    Ref source_name;
    Ref bucket_name;
    Ref object_name;
    Ref size;
    Ref etag;
};

// minio.commonconfig.CopySource(bucket_name=, object_name=[, match_etag=]):
// with the listed ETag, the server refuses to copy a source changed since.
Ref copy_source(const Copy& copy) {
    Ref module = getattr(global(state().n.minio.get()).get(), interned("commonconfig").get());
    Ref type = getattr(module.get(), interned("CopySource").get());
    if (PyUnicode_Check(copy.etag.get()) && PyUnicode_GetLength(copy.etag.get()) > 0) {
        Ref names = tavrin::kwnames({"bucket_name", "object_name", "match_etag"});
        return call(type.get(), {copy.source_bucket.get(), copy.source_name.get(), copy.etag.get()}, names.get());
    }
    Ref names = tavrin::kwnames({"bucket_name", "object_name"});
    return call(type.get(), {copy.source_bucket.get(), copy.source_name.get()}, names.get());
}

// True when `etag` is a str holding no "-": the MD5 of the content.
bool single_part(PyObject* etag) {
    return PyUnicode_Check(etag) && PyUnicode_FindChar(etag, '-', 0, PY_SSIZE_T_MAX, 1) == -1;
}

// Raises IntegrityError unless the stored copy has the source's size and,
// where both ETags are digests of the content, its ETag.
void check_copy(PyObject* self, const Copy& copy) {
    State& s = state();
    Ref stat = call_method(engine(self).get(), s.n.stat_object.get(), {copy.bucket_name.get(), copy.object_name.get()});
    Ref size = getattr(stat.get(), s.n.size.get());
    Ref etag = getattr(stat.get(), s.n.etag.get());
    bool same = !PyLong_Check(copy.size.get()) || require(PyObject_RichCompareBool(size.get(), copy.size.get(), Py_EQ));
    if (same && single_part(copy.etag.get()) && single_part(etag.get())) {
        same = require(PyObject_RichCompareBool(etag.get(), copy.etag.get(), Py_EQ)) != 0;
    }
    if (same) return;
    Ref message = require(PyUnicode_FromFormat(
        "the copy of %S/%S to %S/%S does not match its source (size %S, ETag %S; the copy: size %S, ETag %S); "
        "the source is kept", copy.source_bucket.get(), copy.source_name.get(), copy.bucket_name.get(),
        copy.object_name.get(), copy.size.get(), copy.etag.get(), size.get(), etag.get()));
    raise_integrity(message.get());
}

// The server's copy of one object; with `check`, checked once stored.
void copy_one(PyObject* self, const Copy& copy, bool check) {
    Ref source = copy_source(copy);
    call_method(engine(self).get(), interned("copy_object").get(),
                {copy.bucket_name.get(), copy.object_name.get(), source.get()});
    if (check) check_copy(self, copy);
}

// One copy of a tree copy on the pool: once done (and, for a move,
// checked), its record goes out and a moved source joins `moved`.
class CopyTask final : public Task {
public:
    CopyTask(PyObject* self, Copy copy, Ref record, std::shared_ptr<Outcomes> outcomes, PyObject* moved)
        : self_(Ref::borrow(self)), copy_(std::move(copy)), record_(std::move(record)),
          outcomes_(std::move(outcomes)), moved_(Ref::borrow(moved)) {}

    void run(Work&) override {
        copy_one(self_.get(), copy_, moved_.get() != Py_None);
        if (moved_.get() != Py_None) require(PyList_Append(moved_.get(), copy_.source_name.get()));
        outcomes_->add(record_.get());
    }

private:
    Ref self_;
    Copy copy_;
    Ref record_;
    std::shared_ptr<Outcomes> outcomes_;
    Ref moved_;  // the list of moved sources, None for a copy
};

// TavrinOstrel._copy_object(self, source_bucket, source_name, bucket_name, object_name, *, move=False)
//
// The server copies the object as it is now (stated first; a source
// changed in between is refused); `move` checks the copy, then removes the
// source. Returns the size copied.
constexpr Signature<6> kCopyObject{
    "_copy_object", {"self", "source_bucket", "source_name", "bucket_name", "object_name", "move"}, 5, 5};
Ref copy_object(const Args<6>& a) {
    State& s = state();
    const bool move = tavrin::truth(a.get_or(5, Py_False));
    Ref stat = call_method(engine(a[0]).get(), s.n.stat_object.get(), {a[1], a[2]});
    Copy copy{Ref::borrow(a[1]), Ref::borrow(a[2]), Ref::borrow(a[3]), Ref::borrow(a[4]),
              getattr(stat.get(), s.n.size.get()), getattr(stat.get(), s.n.etag.get())};
    copy_one(a[0], copy, move);
    if (move) call_method(engine(a[0]).get(), s.n.remove_object.get(), {a[1], a[2]});
    return copy.size;
}

// True when the target holds the source's content already: the same size
// and the same ETag.
bool unchanged(const RemoteEntry& source, const RemoteEntry* target) {
    return target != nullptr && require(PyObject_RichCompareBool(source.size.get(), target->size.get(), Py_EQ)) &&
           PyUnicode_Check(source.etag.get()) &&
           require(PyObject_RichCompareBool(source.etag.get(), target->etag.get(), Py_EQ));
}

// What a tree copy works from: both sides, listed.
struct CopyPlan {
    Ref source_bucket, source_prefix, bucket_name, prefix;
    std::vector<RemoteEntry> sources, targets;
    bool move = false;
};

// Hands each source that needs it to the pool (or records it, in a dry run).
void run_copies(PyObject* self, const CopyPlan& plan, const TreeOptions& options, PyObject* moved) {
    Ref action = interned(plan.move ? "move" : "copy");
    std::unordered_map<std::u32string, const RemoteEntry*> listed;
    for (const RemoteEntry& entry : plan.targets) listed.emplace(entry.points, &entry);
    with_transfers(self, [&](Transfers& transfers) {
        for (const RemoteEntry& source : plan.sources) {
            auto found = listed.find(source.points);
            if (options.skip_unchanged && unchanged(source, found == listed.end() ? nullptr : found->second)) continue;
            Ref object_name = require(PyUnicode_Concat(plan.prefix.get(), source.relative.get()));
            Ref from = remote_url(plan.source_bucket.get(), source.name.get());
            Ref to = remote_url(plan.bucket_name.get(), object_name.get());
            Ref record = Outcomes::record(action.get(), from.get(), to.get(), source.size.get());
            if (options.dry_run) {
                options.outcomes->add(record.get());
                continue;
            }
            Copy copy{plan.source_bucket, source.name, plan.bucket_name, object_name, source.size, source.etag};
            transfers.run(std::make_unique<CopyTask>(self, std::move(copy), std::move(record), options.outcomes,
                                                     plan.move ? moved : Py_None));
        }
    });
}

// Removes the moved sources by batch removal; one that fails to go is
// warned about (remove_batch) and recorded as skipped.
void remove_moved(PyObject* self, PyObject* source_bucket, PyObject* moved, const TreeOptions& options) {
    if (PyList_GET_SIZE(moved) == 0) return;
    Ref failed = remove_batch(self, source_bucket, moved);
    tavrin::for_each(failed.get(), [&](Ref name) {
        Ref url = remote_url(source_bucket, name.get());
        options.outcomes->add(Outcomes::record(state().act_skip.get(), url.get(), Py_None, Py_None).get());
    });
}

// The target's objects that no source gives, but for the markers of folders
// that keep files.
void delete_stale(PyObject* self, const CopyPlan& plan, const TreeOptions& options) {
    std::unordered_set<std::u32string> kept;
    for (const RemoteEntry& entry : plan.sources) keep_with_folders(kept, entry.points);
    std::vector<const RemoteEntry*> stale;
    for (const RemoteEntry& entry : plan.targets) {
        if (!entry.points.empty() && kept.count(entry.points) == 0) stale.push_back(&entry);
    }
    delete_objects(self, plan.bucket_name.get(), stale, options);
}

// TavrinOstrel._copy_tree(self, source_bucket, source_prefix, bucket_name, prefix='', *, exclude=None,
//                         filters=None, wildcard=False, skip_unchanged=False, delete=False, move=False,
//                         dry_run=False, report=None)
//
// Every object under the source prefix (with `wildcard`, every object the
// prefix's pattern selects) to the same relative name under `prefix`.
// Records {"action": "copy" or "move", "source", "target", "size"}. A move
// removes the sources whose copies are checked, also when a later copy
// fails; `delete` runs only when every copy succeeded.
constexpr Signature<13> kCopyTree{
    "_copy_tree",
    {"self", "source_bucket", "source_prefix", "bucket_name", "prefix", "exclude", "filters", "wildcard",
     "skip_unchanged", "delete", "move", "dry_run", "report"},
    4,
    5};
Ref copy_tree(const Args<13>& a) {
    PyObject* self = a[0];
    TreeOptions options = tree_options(a.get_or(5, nullptr), a.get_or(6, nullptr), a.get_or(8, nullptr),
                                       a.get_or(9, nullptr), a.get_or(11, nullptr), a.get_or(12, nullptr));
    CopyPlan plan;
    plan.source_bucket = Ref::borrow(a[1]);
    plan.source_prefix = tree_prefix(a[2], a.get_or(7, nullptr), options.filter);
    plan.bucket_name = Ref::borrow(a[3]);
    plan.prefix = folder_prefix(a.get_or(4, state().empty.get()));
    plan.move = tavrin::truth(a.get_or(10, Py_False));
    plan.sources = list_tree(self, a[1], plan.source_prefix.get(), options.filter);
    if (options.skip_unchanged || options.delete_missing) {
        const Filter targets = Filter::from(a.get_or(5, nullptr), a.get_or(6, nullptr));
        plan.targets = list_tree(self, a[3], plan.prefix.get(), targets);
    }
    Ref moved = require(PyList_New(0));
    try {
        run_copies(self, plan, options, moved.get());
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        remove_moved(self, a[1], moved.get(), options);
        error.reraise();
    }
    remove_moved(self, a[1], moved.get(), options);
    if (options.delete_missing) delete_stale(self, plan, options);
    return options.outcomes->records();
}

}  // namespace

PyMethodDef copy_object_def = tavrin::method_def<6, kCopyObject, copy_object>(
    "TavrinOstrel._copy_object(self, source_bucket, source_name, bucket_name, object_name, *, move=False)");
PyMethodDef copy_tree_def = tavrin::method_def<13, kCopyTree, copy_tree>(
    "TavrinOstrel._copy_tree(self, source_bucket, source_prefix, bucket_name, prefix='', *, exclude=None, "
    "filters=None, wildcard=False, skip_unchanged=False, delete=False, move=False, dry_run=False, report=None)");

}  // namespace ostrel
