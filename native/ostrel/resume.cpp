// File downloads that go on from the byte they reached: the part files that
// the client library's file download leaves, found, continued and removed.
#include "resume.hpp"

#include "retries.hpp"
#include "verify.hpp"

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

constexpr long long kBlock = 1024 * 1024;  // the most read from a response at a time

// How much earlier than the clock a new file's time may read: file systems
// stamp files from a coarser clock (a tick of up to some milliseconds) or
// in steps of up to 2 s (FAT).
constexpr std::int64_t kFileClockSlack = 2'000'000'000;

// The object's whole length by the Content-Range of a ranged response
// ("bytes 100-199/200"); -1 when the response gives none.
long long full_length(PyObject* response) {
    State& s = state();
    Ref headers = getattr(response, s.n.headers.get());
    Ref range = call_method(headers.get(), s.n.get.get(), {s.content_range_header.get()});
    if (!PyUnicode_Check(range.get())) return -1;
    Ref parts = require(PyUnicode_RPartition(range.get(), s.slash.get()));
    PyObject* total = PyTuple_GET_ITEM(parts.get(), 2);
    Ref length = Ref::steal(PyLong_FromUnicodeObject(total, 10));
    if (!length) {
        PyErr_Clear();  // "*": the length is not known
        return -1;
    }
    return tavrin::as_long_long(length.get());
}

}  // namespace

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

PartFile PartFile::left_by(PyObject* target, std::int64_t since, long long least) noexcept {
    State& s = state();
    tavrin::PendingError pending;
    PartFile kept;
    try {
        Ref glob = require(PyImport_ImportModule("glob"));
        Ref prefix = require(PyObject_Format(target, s.empty.get()));  // as f"{file_path}" names it
        Ref escaped = call_method(glob.get(), s.n.escape.get(), {prefix.get()});
        Ref suffix = tavrin::text(".*.part.minio");
        Ref pattern = require(PyUnicode_Concat(escaped.get(), suffix.get()));
        Ref os = global(s.n.os.get());
        std::vector<std::pair<Ref, long long>> fresh;  // the attempt's part files and their sizes
        tavrin::for_each(call_method(glob.get(), s.n.glob.get(), {pattern.get()}).get(), [&](Ref path) {
            Ref info = call_method(os.get(), s.n.stat.get(), {path.get()});
            if (tavrin::as_long_long(getattr(info.get(), s.n.st_mtime_ns.get()).get()) >= since - kFileClockSlack) {
                fresh.emplace_back(std::move(path), tavrin::as_long_long(getattr(info.get(), s.n.st_size.get()).get()));
            }
        });
        if (fresh.size() == 1 && fresh[0].second >= least) {
            // "<target>.<ETag, URL-quoted>.part.minio"; ETags hold no ".",
            // so a name with more dots is another target's part file.
            const Py_ssize_t start = PyUnicode_GET_LENGTH(prefix.get()) + 1;
            const Py_ssize_t end = PyUnicode_GET_LENGTH(fresh[0].first.get()) - PyUnicode_GET_LENGTH(s.part_suffix.get());
            Ref quoted = require(PyUnicode_Substring(fresh[0].first.get(), start, end));
            if (PyUnicode_GET_LENGTH(quoted.get()) > 0 && !tavrin::contains(quoted.get(), s.dot.get())) {
                Ref parse = require(PyImport_ImportModule("urllib.parse"));
                Ref etag = call_method(parse.get(), s.n.unquote.get(), {quoted.get()});
                kept.etag_ = concat({s.quote.get(), etag.get(), s.quote.get()});
                kept.path_ = fresh[0].first;
                kept.size_ = fresh[0].second;
            }
        }
        for (auto& [path, size] : fresh) {
            if (path.get() != kept.path_.get()) call_method(os.get(), s.n.remove.get(), {path.get()});
        }
    } catch (const tavrin::PyErrOccurred&) {
        PyErr_Clear();
    } catch (const std::exception&) {
        PyErr_Clear();
    }
    pending.restore();
    return kept;
}

PartFile PartFile::start(PyObject* target, PyObject* etag) {
    State& s = state();
    Ref os = global(s.n.os.get());
    Ref path_module = getattr(os.get(), s.n.path.get());
    Ref folder = call_method(path_module.get(), s.n.dirname.get(), {target});
    if (tavrin::truth(folder)) call_method(os.get(), s.n.makedirs.get(), {folder.get(), Py_True}, s.kw_exist_ok.get());
    Ref bare = call_method(etag, s.n.replace.get(), {s.quote.get(), s.empty.get()});
    Ref parse = require(PyImport_ImportModule("urllib.parse"));
    Ref quoted = call(getattr(parse.get(), s.n.quote.get()).get(), {bare.get(), s.empty.get()});
    PartFile part;
    part.path_ = concat({target, s.dot.get(), quoted.get(), s.part_suffix.get()});
    Ref file = call(global(s.n.open.get()).get(), {part.path_.get(), s.write_binary.get()});
    call_method(file.get(), s.n.close.get(), {});
    part.etag_ = concat({s.quote.get(), bare.get(), s.quote.get()});
    return part;
}

void PartFile::go_on(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* target,
                     PyObject* hook, bool verify, long long& written) {
    State& s = state();
    Ref headers = require(PyDict_New());
    require(PyDict_SetItem(headers.get(), s.if_match.get(), etag_.get()));
    Ref offset = require(PyLong_FromLongLong(size_));
    Ref to_end = require(PyLong_FromLong(0));
    Ref response = call_method(client, s.n.get_object.get(),
                               {bucket_name, object_name, offset.get(), to_end.get(), headers.get()}, s.kw_range.get());
    Expected expected;
    try {
        if (verify) {
            // The response's headers show whether the object is encrypted.
            Ref seen = tavrin::optional_getattr(response.get(), s.n.headers.get());
            expected = Expected(etag_.get(), seen.get());
        }
        // 206 is the rest; a server that ignores the range sends it all (200).
        if (tavrin::as_long_long(getattr(response.get(), s.n.status.get()).get()) != 206) size_ = 0;
        Ref file = call(global(s.n.open.get()).get(), {path_.get(), s.update_binary.get()});
        try {
            Ref position = require(PyLong_FromLongLong(size_));
            call_method(file.get(), s.n.seek.get(), {position.get()});
            call_method(file.get(), s.n.truncate.get(), {});
            Ref amount = require(PyLong_FromLongLong(kBlock));
            for (;;) {
                Ref block = call_method(response.get(), s.n.read.get(), {amount.get()});
                const Py_ssize_t got = require(PyObject_Length(block.get()));
                if (got == 0) break;
                call_method(file.get(), s.n.write.get(), {block.get()});
                size_ += got;
                written += got;
                if (hook != nullptr) {
                    Ref count = require(PyLong_FromSsize_t(got));
                    call_method(hook, s.n.update.get(), {count.get()});
                }
            }
        } catch (const tavrin::PyErrOccurred&) {
            close_and_reraise(file.get());
        }
        call_method(file.get(), s.n.close.get(), {});
        const long long length = full_length(response.get());
        if (length >= 0 && size_ != length) raise_short_body();
    } catch (const tavrin::PyErrOccurred&) {
        release_response(response.get());
        throw;
    }
    release_response(response.get());
    if (expected) {
        Ref computed;
        if (judge_file(client, bucket_name, object_name, expected, path_.get(), size_, computed) == Verdict::kMismatch) {
            remove();
            raise_integrity_error(bucket_name, object_name, expected, computed.get());
        }
    }
    call_method(global(s.n.os.get()).get(), s.n.replace.get(), {path_.get(), target});
    path_.reset();
}

void PartFile::remove() noexcept {
    if (!path_) return;
    remove_file(path_.get());
    path_.reset();
}

}  // namespace ostrel
