// Unchanged files (skip_unchanged): what the bucket holds, whether a local
// file's content is an object's, and the per-object task of a directory
// transfer that compares, transfers and counts.
//
// A file matches an object when it has the object's size and its content
// gives the object's ETag: the MD5 of the content, or for a multipart
// upload ("<md5>-<N>") the MD5 of the parts' binary MD5s for some part size
// that cuts the content in exactly N parts (the client library's, and the
// common 5, 8, 16, 32, 64 and 128 MiB). Any other ETag matches nothing: a
// file is only left alone on a positive match (verify.hpp makes the digests).
#include "unchanged.hpp"

#include "config.hpp"
#include "digests.hpp"
#include "outcomes.hpp"
#include "parts.hpp"
#include "progress.hpp"
#include "transfers.hpp"
#include "verify.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

// The ETag of `tag` as the cache keeps a transfer's: "<md5>" or "<md5>-<N>".
std::string etag_text(const ContentTag& tag) {
    return tag.parts == 0 ? tag.md5 : tag.md5 + "-" + std::to_string(tag.parts);
}

// What the cache knows of the file of `identity` against `tag`, cut at each
// of `sizes`: 1 a match, 0 no match (every cut known, none gives it), -1
// unknown (the file is to be read).
int known_match(const Digests& digests, const FileIdentity& identity, const ContentTag& tag,
                const std::vector<long long>& sizes) {
    if (!digests) return -1;
    std::vector<KnownDigest> known = digests.known(identity);
    const std::string transferred = etag_text(tag);
    std::size_t cuts_known = 0;
    for (const KnownDigest& entry : known) {
        if (entry.part_size == KnownDigest::kTransferred) {
            if (entry.digest == transferred) return 1;
        } else if (std::find(sizes.begin(), sizes.end(), entry.part_size) != sizes.end()) {
            if (entry.digest == tag.md5) return 1;
            ++cuts_known;
        }
    }
    return cuts_known == sizes.size() ? 0 : -1;
}

// os.stat(path) (os.lstat unless `follow_links`) when it is a regular file
// of `size` bytes; empty otherwise.
Ref regular_of_size(PyObject* path, long long size, bool follow_links) {
    State& s = state();
    Ref os = global(s.n.os.get());
    Ref info = call_method(os.get(), follow_links ? s.n.stat.get() : s.n.lstat.get(), {path});
    Ref stat = require(PyImport_ImportModule("stat"));
    Ref mode = getattr(info.get(), s.n.st_mode.get());
    if (!tavrin::truth(call_method(stat.get(), s.n.S_ISREG.get(), {mode.get()}))) return Ref();
    if (tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get()) != size) return Ref();
    return info;
}

// True when the file at `path` is a regular file (by os.stat, or os.lstat
// unless `follow_links`: a link is then no match) of `size` bytes whose
// content gives `tag`: as the digest cache knows it, else read, and the
// digests of every cut read kept in the cache.
bool content_matches(PyObject* self, PyObject* path, long long size, const ContentTag& tag, bool follow_links) {
    Digests digests(self);
    const long long since = Digests::now_ns();
    Ref info = regular_of_size(path, size, follow_links);
    if (!info) return false;

    std::vector<long long> sizes = tag.parts == 0 ? std::vector<long long>{0} : part_sizes(size, tag.parts);
    if (sizes.empty()) return false;
    FileIdentity identity;
    if (digests) identity = identity_of(path, info.get());
    const int known = known_match(digests, identity, tag, sizes);
    if (known >= 0) return known == 1;

    std::vector<Cut> cuts;
    for (long long part_size : sizes) cuts.emplace_back(part_size);
    if (!feed_file(path, size, cuts)) return false;
    Ref expected = tavrin::text(tag.md5.c_str());
    bool matched = false;
    for (Cut& cut : cuts) {
        Ref digest = cut.digest(tag.parts > 0);
        if (digests) {
            Py_ssize_t length = 0;
            const char* hex = PyUnicode_AsUTF8AndSize(digest.get(), &length);
            if (hex == nullptr) throw tavrin::PyErrOccurred();
            digests.record(identity, cut.part_size(), std::string(hex, static_cast<std::size_t>(length)), since);
        }
        matched = matched || require(PyObject_RichCompareBool(digest.get(), expected.get(), Py_EQ)) == 1;
    }
    return matched;
}

// content_matches() of the object's local file for the object as listed
// (its size and ETag), or only the size for `size_only`; a local file that
// cannot be read (OSError) matches nothing: its transfer meets the error.
// `bytes`: the size, for the progress records.
bool unchanged(PyObject* self, const ObjectTransfer& o, long long& bytes) {
    ContentTag tag;
    if (!PyLong_Check(o.size.get()) || (!o.size_only && !parse_etag(o.etag.get(), tag))) return false;
    bytes = tavrin::as_long_long(o.size.get());
    if (bytes < 0) return false;
    try {
        if (o.size_only) return static_cast<bool>(regular_of_size(o.local.get(), bytes, o.follow_links));
        return content_matches(self, o.local.get(), bytes, tag, o.follow_links);
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        if (!error.matches(PyExc_OSError)) error.reraise();
        return false;
    }
}

// One object of a directory transfer, when it is compared first
// (skip_unchanged) or counted (progress): runs where the transfer would, with
// the transfer's tracker as this thread's.
class ObjectTask final : public Task {
public:
    ObjectTask(PyObject* self, Progress progress, ObjectTransfer object, std::unique_ptr<Task> direct)
        : self_(Ref::borrow(self)), progress_(std::move(progress)), object_(std::move(object)), direct_(std::move(direct)) {}

    void run(Work& work) override {
        ProgressOnThread reporting(progress_);
        ObjectTransfer& o = object_;
        long long bytes = 0;
        if ((o.etag || (o.size_only && o.size)) && unchanged(self_.get(), o, bytes)) {
            if (progress_) progress_.file_skipped(o.object_name.get(), bytes);
            if (direct_) std::exchange(direct_, nullptr)->drop();
            return;
        }
        if (o.dry_run) {
            if (direct_) std::exchange(direct_, nullptr)->drop();
            if (progress_) progress_.file_done(o.object_name.get());
            o.outcomes->add(o.record.get());
            return;
        }
        if (direct_) {
            direct_->run(work);  // it counts the object itself
            if (o.outcomes) o.outcomes->add(o.record.get());
            return;
        }
        if (o.parallel) {
            call_method(self_.get(), o.method, {o.bucket_name.get(), o.object_name.get(), o.local.get(), o.parallel.get()},
                        state().kw_parallel.get());
        } else {
            call_method(self_.get(), o.method, {o.bucket_name.get(), o.object_name.get(), o.local.get()});
        }
        if (progress_) progress_.file_done(o.object_name.get());
        if (o.outcomes) o.outcomes->add(o.record.get());
    }

    void drop() noexcept override {
        if (direct_) direct_->drop();
    }

private:
    Ref self_;
    Progress progress_;
    ObjectTransfer object_;
    std::unique_ptr<Task> direct_;
};

}  // namespace

bool skip_unchanged_from(PyObject* value) { return flag_from(value, "skip_unchanged", false); }

bool size_only_from(PyObject* value) {
    if (value == nullptr || !PyUnicode_Check(value)) return false;
    if (PyUnicode_CompareWithASCIIString(value, "size") == 0) return true;
    PyErr_Format(PyExc_ValueError, "skip_unchanged must be True, False, None or 'size', not %R", value);
    throw tavrin::PyErrOccurred();
}

bool configured_skip_unchanged(PyObject* self) {
    Ref value = configured(self, state().n.skip_unchanged.get());
    return value && skip_unchanged_from(value.get());
}

Ref listed_objects(PyObject* self, PyObject* bucket_name, PyObject* prefix) {
    State& s = state();
    Ref records = call_method(engine(self).get(), s.n.list_objects.get(), {bucket_name, prefix, Py_False},
                              s.kw_list_objects.get());
    Ref found = require(PyDict_New());
    tavrin::for_each(records.get(), [&](Ref entry) {
        Ref name = getattr(entry.get(), s.n.object_name.get());
        Ref size = getattr(entry.get(), s.n.size.get());
        Ref etag = getattr(entry.get(), s.n.etag.get());
        Ref listed = require(PyTuple_Pack(2, size.get(), etag.get()));
        require(PyDict_SetItem(found.get(), name.get(), listed.get()));
    });
    return found;
}

void transfer_object(Transfers& transfers, PyObject* self, const Progress& progress, ObjectTransfer object,
                     std::unique_ptr<Task> direct) {
    if (object.etag.get() == Py_None) object.etag.reset();
    if (!progress && !object.etag && !object.outcomes) {
        if (direct) {
            transfers.run(std::move(direct));
        } else if (object.parallel) {
            transfers.call(self, object.method,
                           {object.bucket_name.get(), object.object_name.get(), object.local.get(), object.parallel.get()},
                           state().kw_parallel.get());
        } else {
            transfers.call(self, object.method, {object.bucket_name.get(), object.object_name.get(), object.local.get()});
        }
        return;
    }
    transfers.run(std::make_unique<ObjectTask>(self, progress, std::move(object), std::move(direct)));
}

}  // namespace ostrel
