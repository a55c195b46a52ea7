// Content checks against an object's ETag: the `verify` key, the digests of
// content cut into parts, and the verdict on what a download wrote.
//
// Content is hashed with hashlib's MD5, which, like the file reads, releases
// the GIL for blocks of the size read here. One pass over the content feeds
// every candidate way of cutting it into parts at once.
#include "verify.hpp"

#include "config.hpp"
#include "parts.hpp"

#include <algorithm>
#include <utility>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::getattr;
using tavrin::require;

constexpr long long kMinPartSize = 5 * kMiB;  // the client library's smallest part
constexpr long long kBlock = kMiB;            // bytes read at a time

// tavrin_minio.IntegrityError, from the package this module belongs to.
Ref integrity_error_class() {
    State& s = state();
    Ref fromlist = require(PyList_New(1));
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(s.n.IntegrityError.get()));
    Ref package = require(PyImport_ImportModuleLevelObject(s.empty.get(), s.globals.get(), nullptr, fromlist.get(), 1));
    return getattr(package.get(), s.n.IntegrityError.get());
}

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// headers.get(name), or None when there are no headers to ask.
Ref header(PyObject* headers, const char* name) {
    if (headers == nullptr || headers == Py_None) return Ref::borrow(Py_None);
    Ref key = tavrin::text(name);
    return call_method(headers, state().n.get.get(), {key.get()});
}

// True when the headers show encryption whose ETag is no digest of the
// content: SSE-C, or SSE with KMS ("aws:kms", "aws:kms:dsse").
bool encrypted(PyObject* headers) {
    if (header(headers, "x-amz-server-side-encryption-customer-algorithm").get() != Py_None) return true;
    Ref sse = header(headers, "x-amz-server-side-encryption");
    if (!PyUnicode_Check(sse.get())) return false;
    Ref kms = tavrin::text("aws:kms");
    return tavrin::truth(call_method(sse.get(), state().n.startswith.get(), {kms.get()}));
}

// The server's answer on part `number`: its size, and the object's parts
// count (-1 when the answer names none). False when the server refuses the
// question (an S3Error): the content cannot be checked then.
bool part_info(PyObject* client, PyObject* bucket_name, PyObject* object_name, long long number, long long& size,
               long long& count) {
    State& s = state();
    Ref query = require(PyDict_New());
    Ref text = require(PyUnicode_FromFormat("%lld", number));
    Ref key = tavrin::text("partNumber");
    require(PyDict_SetItem(query.get(), key.get(), text.get()));
    Ref stat;
    try {
        stat = call_method(client, s.n.stat_object.get(), {bucket_name, object_name, query.get()},
                           s.kw_extra_query.get());
    } catch (const tavrin::PyErrOccurred&) {
        tavrin::PendingError error;
        if (!error.matches(global(s.n.S3Error.get()).get())) error.reraise();
        return false;
    }
    size = tavrin::as_long_long(getattr(stat.get(), s.n.size.get()).get());
    Ref metadata = tavrin::optional_getattr(stat.get(), s.n.metadata.get());
    Ref parts = header(metadata.get(), "x-amz-mp-parts-count");
    count = -1;
    if (PyUnicode_Check(parts.get())) {
        Ref value = Ref::steal(PyLong_FromUnicodeObject(parts.get(), 10));
        if (!value) {
            PyErr_Clear();
        } else {
            count = tavrin::as_long_long(value.get());
        }
    }
    return true;
}

}  // namespace

Ref new_md5() {
    Ref hashlib = require(PyImport_ImportModule("hashlib"));
    return call(getattr(hashlib.get(), state().n.md5.get()).get(), {Py_False}, state().kw_md5.get());
}

Ref shown(Ref digest, long long parts) {
    if (parts == 0) return digest;
    return require(PyUnicode_FromFormat("%U-%lld", digest.get(), parts));
}

bool verify_from(PyObject* value) { return flag_from(value, "verify", true); }

bool configured_verify(PyObject* self) {
    Ref value = configured(self, state().n.verify.get());
    return !value || verify_from(value.get());
}

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

Cut::Cut(long long part_size, std::vector<long long> exact)
    : part_size_(part_size), exact_(std::move(exact)), current_(new_md5()) {}

long long Cut::next_size() const noexcept {
    if (!exact_.empty()) return finished_ < exact_.size() ? exact_[finished_] : 0;
    return part_size_;
}

void Cut::feed(PyObject* view, long long whole, long long count) {
    State& s = state();
    for (long long offset = 0; offset < count;) {
        const long long size = next_size();
        const long long take = size > 0 ? std::min(count - offset, size - filled_) : count - offset;
        Ref piece = offset == 0 && take == whole
                        ? Ref::borrow(view)
                        : require(PySequence_GetSlice(view, static_cast<Py_ssize_t>(offset),
                                                      static_cast<Py_ssize_t>(offset + take)));
        call_method(current_.get(), s.n.update.get(), {piece.get()});
        offset += take;
        filled_ += take;
        if (size > 0 && filled_ == size) {
            Ref digest = call_method(current_.get(), s.n.digest.get(), {});
            digests_.append(PyBytes_AS_STRING(digest.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(digest.get())));
            current_ = new_md5();
            filled_ = 0;
            ++finished_;
        }
    }
}

Ref Cut::digest(bool parted) {
    State& s = state();
    if (!parted) return call_method(current_.get(), s.n.hexdigest.get(), {});
    if (filled_ > 0) {
        Ref last = call_method(current_.get(), s.n.digest.get(), {});
        digests_.append(PyBytes_AS_STRING(last.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(last.get())));
        filled_ = 0;
    }
    return parts_digest(digests_);
}

Ref parts_digest(const std::string& digests) {
    State& s = state();
    Ref joined = require(PyBytes_FromStringAndSize(digests.data(), static_cast<Py_ssize_t>(digests.size())));
    Ref md5 = new_md5();
    call_method(md5.get(), s.n.update.get(), {joined.get()});
    return call_method(md5.get(), s.n.hexdigest.get(), {});
}

bool feed_file(PyObject* path, long long size, std::vector<Cut>& cuts) {
    State& s = state();
    Ref file = call(global(s.n.open.get()).get(), {path, s.read_binary.get()});
    bool complete = false;
    try {
        const long long whole = std::clamp(size, 1LL, kBlock);
        Ref buffer = require(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(whole)));
        Ref view = require(PyMemoryView_FromObject(buffer.get()));
        for (long long total = 0;;) {
            Ref read = call_method(file.get(), s.n.readinto.get(), {view.get()});
            if (read.get() == Py_None) break;
            const long long count = tavrin::as_long_long(read.get());
            if (count <= 0) {
                complete = total == size;
                break;
            }
            total += count;
            if (total > size) break;
            for (Cut& cut : cuts) cut.feed(view.get(), whole, count);
        }
    } catch (const tavrin::PyErrOccurred&) {
        close_and_reraise(file.get());
    }
    call_method(file.get(), s.n.close.get(), {});
    return complete;
}

bool cuts_match(const ContentFeed& feed, std::vector<Cut>& cuts, const ContentTag& tag, Ref& computed) {
    if (!feed(cuts)) return false;
    Ref expected = tavrin::text(tag.md5.c_str());
    for (Cut& cut : cuts) {
        Ref digest = cut.digest(tag.parts > 0);
        if (!computed) computed = shown(digest, tag.parts);
        if (require(PyObject_RichCompareBool(digest.get(), expected.get(), Py_EQ))) return true;
    }
    return false;
}

Expected::Expected(PyObject* etag, PyObject* headers) {
    if (etag == nullptr || !parse_etag(etag, tag_) || encrypted(headers)) return;
    checkable_ = true;
    etag_ = Ref::borrow(etag);
}

Expected Expected::of_stat(PyObject* stat) {
    if (stat == Py_None) return Expected();
    Ref etag = tavrin::optional_getattr(stat, state().n.etag.get());
    Ref metadata = tavrin::optional_getattr(stat, state().n.metadata.get());
    return etag ? Expected(etag.get(), metadata.get()) : Expected();
}

namespace {

// The exact sizes of the `parts` parts of an object of `size` bytes whose
// first part holds `first`: parts 2 to `parts` asked for one by one. False
// when the server does not name them all, or they do not add up to `size`.
bool rest_of_parts(PyObject* client, PyObject* bucket_name, PyObject* object_name, long long parts, long long size,
                   long long first, std::vector<long long>& exact) {
    exact.assign(1, first);
    long long total = first;
    for (long long number = 2; number <= parts; ++number) {
        long long part = 0;
        long long count = 0;
        if (!part_info(client, bucket_name, object_name, number, part, count) || count != parts || part <= 0) {
            return false;
        }
        exact.push_back(part);
        total += part;
    }
    return total == size;
}

}  // namespace

bool exact_parts(PyObject* client, PyObject* bucket_name, PyObject* object_name, const ContentTag& tag,
                 long long size, std::vector<long long>& exact) {
    long long first = 0;
    long long count = 0;
    if (!part_info(client, bucket_name, object_name, 1, first, count) || count != tag.parts || first <= 0) {
        return false;
    }
    return rest_of_parts(client, bucket_name, object_name, tag.parts, size, first, exact);
}

Verdict judge(PyObject* client, PyObject* bucket_name, PyObject* object_name, const Expected& expected,
              long long size, const ContentFeed& feed, Ref& computed, const std::vector<long long>& tried) {
    const ContentTag& tag = expected.tag();
    std::vector<Cut> cuts;
    if (tag.parts == 0) {
        cuts.emplace_back(0);
        return cuts_match(feed, cuts, tag, computed) ? Verdict::kMatch : Verdict::kMismatch;
    }
    std::vector<long long> known;
    for (long long candidate : part_sizes(size, tag.parts)) {
        if (std::find(tried.begin(), tried.end(), candidate) == tried.end()) known.push_back(candidate);
    }
    if (!known.empty()) {
        for (long long candidate : known) cuts.emplace_back(candidate);
        if (cuts_match(feed, cuts, tag, computed)) return Verdict::kMatch;
    }
    // The server names the parts: part 1's size may be every part's but the last's.
    long long first = 0;
    long long count = 0;
    if (!part_info(client, bucket_name, object_name, 1, first, count) || count != tag.parts || first <= 0) {
        return Verdict::kUnknown;
    }
    known.insert(known.end(), tried.begin(), tried.end());
    if ((size + first - 1) / first == tag.parts && std::find(known.begin(), known.end(), first) == known.end()) {
        cuts.clear();
        cuts.emplace_back(first);
        if (cuts_match(feed, cuts, tag, computed)) return Verdict::kMatch;
    }
    // Parts may differ in size: each one's exact size decides.
    std::vector<long long> exact;
    if (!rest_of_parts(client, bucket_name, object_name, tag.parts, size, first, exact)) return Verdict::kUnknown;
    cuts.clear();
    cuts.emplace_back(0, std::move(exact));
    computed.reset();
    return cuts_match(feed, cuts, tag, computed) ? Verdict::kMatch : Verdict::kMismatch;
}

Verdict judge_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, const Expected& expected,
                   PyObject* path, long long size, Ref& computed) {
    return judge(client, bucket_name, object_name, expected, size,
                 [&](std::vector<Cut>& cuts) { return feed_file(path, size, cuts); }, computed);
}

void check_body(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* headers, PyObject* body) {
    Expected expected(header(headers, "etag").get(), headers);
    if (!expected || !PyBytes_Check(body)) return;
    Ref view = require(PyMemoryView_FromObject(body));
    const long long size = PyBytes_GET_SIZE(body);
    Ref computed;
    const Verdict verdict = judge(client, bucket_name, object_name, expected, size, [&](std::vector<Cut>& cuts) {
        for (Cut& cut : cuts) cut.feed(view.get(), size, size);
        return true;
    }, computed);
    if (verdict == Verdict::kMismatch) raise_integrity_error(bucket_name, object_name, expected, computed.get());
}

void raise_integrity_error(PyObject* bucket_name, PyObject* object_name, const Expected& expected,
                           PyObject* computed) {
    Ref message = require(PyUnicode_FromFormat(
        "the download of %S/%S does not match the object's ETag: expected %S, computed %S; "
        "for a server whose ETags are not MD5 digests of the content, set verify: False",
        bucket_name, object_name, expected.etag(), computed != nullptr ? computed : Py_None));
    raise_integrity(message.get());
}

void raise_integrity(PyObject* message) {
    Ref error = call(integrity_error_class().get(), {message});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw tavrin::PyErrOccurred();
}

bool integrity_error(const tavrin::PendingError& error) {
    try {
        return error.matches(integrity_error_class().get());
    } catch (const tavrin::PyErrOccurred&) {
        PyErr_Clear();  // no such class to be found: the download's own error is the one to raise
        return false;
    }
}

}  // namespace ostrel
