// Unchanged files (skip_unchanged): what the bucket holds, whether a local
// file's content is an object's, and the per-object task of a directory
// transfer that compares, transfers and counts.
//
// A file matches an object when it has the object's size and its content
// gives the object's ETag: the MD5 of the content, or for a multipart
// upload ("<md5>-<N>") the MD5 of the parts' binary MD5s for some part size
// that cuts the content in exactly N parts (the client library's, and the
// common 5, 8, 16, 32, 64 and 128 MiB). Any other ETag matches nothing: a
// file is only left alone on a positive match. The file is read in blocks,
// each feeding every candidate cut, with hashlib's MD5 (which, like the
// reads, releases the GIL for blocks of this size).
#include "unchanged.hpp"

#include "parts.hpp"
#include "progress.hpp"
#include "sync.hpp"
#include "transfers.hpp"

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

constexpr long long kMinPartSize = 5 * kMiB;  // the client library's smallest part
constexpr long long kBlock = kMiB;            // bytes read at a time

// What an ETag stands for: the MD5 (lower-case hex) and the number of
// parts, 0 for a plain MD5.
struct ContentTag {
    std::string md5;
    long long parts = 0;
};

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// `etag` without quotes as a ContentTag; false when it is no MD5 of either form.
bool parse_etag(PyObject* etag, ContentTag& tag) {
    if (!PyUnicode_Check(etag)) return false;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(etag, &length);
    if (utf8 == nullptr) throw tavrin::PyErrOccurred();
    std::string text;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const char c = utf8[i];
        if (c != '"') text.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    if (text.size() < 32 || !std::all_of(text.begin(), text.begin() + 32, hex_digit)) return false;
    tag.md5 = text.substr(0, 32);
    if (text.size() == 32) return true;
    const std::string count = text.substr(33);
    if (text[32] != '-' || count.empty() || count.size() > 5 || count[0] == '0' ||
        !std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    tag.parts = std::stoll(count);
    return tag.parts <= kMaxParts;
}

// The part sizes that cut `size` bytes in exactly `parts` parts, among the
// client library's choice for that size and the common ones.
std::vector<long long> part_sizes(long long size, long long parts) {
    std::vector<long long> sizes;
    if (size <= 0) return sizes;
    const long long library = ((size + kMaxParts - 1) / kMaxParts + kMinPartSize - 1) / kMinPartSize * kMinPartSize;
    for (long long candidate : {library, part_size(size), 5 * kMiB, 8 * kMiB, 16 * kMiB, 32 * kMiB, 64 * kMiB,
                                128 * kMiB}) {
        if ((size + candidate - 1) / candidate == parts &&
            std::find(sizes.begin(), sizes.end(), candidate) == sizes.end()) {
            sizes.push_back(candidate);
        }
    }
    return sizes;
}

Ref new_md5(PyObject* hashlib) {
    return call(getattr(hashlib, state().n.md5.get()).get(), {Py_False}, state().kw_md5.get());
}

Ref hex_digest(PyObject* md5) { return call_method(md5, state().n.hexdigest.get(), {}); }

// One way of cutting the content: its MD5 so far, and the parts' digests.
struct Cut {
    long long part_size;  // 0: one part, a plain MD5
    long long filled;     // bytes in the current part
    Ref current;
    std::string digests;  // binary MD5s of the finished parts
};

// Feeds the first `count` bytes of `view` (of `whole` bytes) to `cut`.
void feed(Cut& cut, PyObject* view, long long whole, long long count, PyObject* hashlib) {
    State& s = state();
    for (long long offset = 0; offset < count;) {
        const long long take = cut.part_size ? std::min(count - offset, cut.part_size - cut.filled) : count - offset;
        Ref piece = offset == 0 && take == whole
                        ? Ref::borrow(view)
                        : require(PySequence_GetSlice(view, static_cast<Py_ssize_t>(offset),
                                                      static_cast<Py_ssize_t>(offset + take)));
        call_method(cut.current.get(), s.n.update.get(), {piece.get()});
        offset += take;
        cut.filled += take;
        if (cut.part_size && cut.filled == cut.part_size) {
            Ref digest = call_method(cut.current.get(), s.n.digest.get(), {});
            cut.digests.append(PyBytes_AS_STRING(digest.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(digest.get())));
            cut.current = new_md5(hashlib);
            cut.filled = 0;
        }
    }
}

// Reads exactly `size` bytes from the open file into every cut; false when
// the file holds more or fewer.
bool read_into(PyObject* file, long long size, std::vector<Cut>& cuts, PyObject* hashlib) {
    const long long whole = std::clamp(size, 1LL, kBlock);
    Ref buffer = require(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(whole)));
    Ref view = require(PyMemoryView_FromObject(buffer.get()));
    for (long long total = 0;;) {
        Ref read = call_method(file, state().n.readinto.get(), {view.get()});
        if (read.get() == Py_None) return false;
        const long long count = tavrin::as_long_long(read.get());
        if (count <= 0) return total == size;
        total += count;
        if (total > size) return false;
        for (Cut& cut : cuts) feed(cut, view.get(), whole, count, hashlib);
    }
}

// True when the file at `path` is a regular file (by os.stat, or os.lstat
// unless `follow_links`: a link is then no match) of `size` bytes whose
// content gives `tag`.
bool content_matches(PyObject* path, long long size, const ContentTag& tag, bool follow_links) {
    State& s = state();
    Ref os = global(s.n.os.get());
    Ref info = call_method(os.get(), follow_links ? s.n.stat.get() : s.n.lstat.get(), {path});
    Ref stat = require(PyImport_ImportModule("stat"));
    Ref mode = getattr(info.get(), s.n.st_mode.get());
    if (!tavrin::truth(call_method(stat.get(), s.n.S_ISREG.get(), {mode.get()}))) return false;
    if (tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get()) != size) return false;

    std::vector<long long> sizes{0};
    if (tag.parts > 0) sizes = part_sizes(size, tag.parts);
    if (sizes.empty()) return false;
    Ref hashlib = require(PyImport_ImportModule("hashlib"));
    std::vector<Cut> cuts;
    for (long long part_size : sizes) cuts.push_back(Cut{part_size, 0, new_md5(hashlib.get()), {}});

    Ref file = call(global(s.n.open.get()).get(), {path, s.read_binary.get()});
    bool complete = false;
    try {
        complete = read_into(file.get(), size, cuts, hashlib.get());
    } catch (const tavrin::PyErrOccurred&) {
        close_and_reraise(file.get());
    }
    call_method(file.get(), s.n.close.get(), {});
    if (!complete) return false;

    Ref expected = tavrin::text(tag.md5.c_str());
    for (Cut& cut : cuts) {
        Ref digest;
        if (tag.parts == 0) {
            digest = hex_digest(cut.current.get());
        } else {
            if (cut.filled > 0) {
                Ref last = call_method(cut.current.get(), s.n.digest.get(), {});
                cut.digests.append(PyBytes_AS_STRING(last.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(last.get())));
            }
            Ref joined = require(PyBytes_FromStringAndSize(cut.digests.data(), static_cast<Py_ssize_t>(cut.digests.size())));
            Ref md5 = new_md5(hashlib.get());
            call_method(md5.get(), s.n.update.get(), {joined.get()});
            digest = hex_digest(md5.get());
        }
        if (require(PyObject_RichCompareBool(digest.get(), expected.get(), Py_EQ))) return true;
    }
    return false;
}

// content_matches() for the object as listed (`size`, `etag`); a local file
// that cannot be read (OSError) matches nothing: its transfer meets the error.
// `bytes`: the size, for the progress records.
bool unchanged(PyObject* path, PyObject* size, PyObject* etag, bool follow_links, long long& bytes) {
    ContentTag tag;
    if (!PyLong_Check(size) || !parse_etag(etag, tag)) return false;
    bytes = tavrin::as_long_long(size);
    if (bytes < 0) return false;
    try {
        return content_matches(path, bytes, tag, follow_links);
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
        if (o.etag && unchanged(o.local.get(), o.size.get(), o.etag.get(), o.follow_links, bytes)) {
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

bool skip_unchanged_from(PyObject* value) {
    if (value == Py_None || value == Py_False) return false;
    if (value == Py_True) return true;
    PyErr_Format(PyExc_ValueError, "skip_unchanged must be True, False or None, not %.200s", Py_TYPE(value)->tp_name);
    throw tavrin::PyErrOccurred();
}

bool configured_skip_unchanged(PyObject* self) {
    // Optional: the configuration a tunnel returns need not carry it.
    Ref config = getattr(self, state().n._config.get());
    Ref value = tavrin::optional_getattr(config.get(), state().n.skip_unchanged.get());
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
