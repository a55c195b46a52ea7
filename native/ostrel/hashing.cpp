// The digest of a file written by ranges in any order. The content is cut
// into segments, the parts of a multipart ETag or the whole content for a
// plain one, each hashed from its start as far as the bytes written allow:
// from the block just written when it continues the segment, else from the
// file (the page cache) for the bytes other ranges wrote before. Every
// segment is touched with the GIL; one being hashed (reading the file and
// hashing let go of the GIL) is left to the thread hashing it.
#include "hashing.hpp"

#include "parts.hpp"
#include "verify.hpp"

#include <algorithm>
#include <utility>

namespace ostrel {

namespace {

using tavrin::call;
using tavrin::call_method;
using tavrin::require;

constexpr long long kBlock = kMiB;            // bytes read from the file at a time
constexpr long long kStep = 2 * kMiB;         // the most of a plain ETag's bytes read per block written
constexpr long long kUnbounded = -1;

}  // namespace

RangeHasher::RangeHasher(long long size, long long range, long long cut)
    : size_(size), range_(range), cut_(cut), written_(static_cast<std::size_t>((size + range - 1) / range), 0) {
    const long long step = cut > 0 ? cut : std::max(size, 1LL);
    for (long long start = 0; start < size; start += step) {
        segments_.push_back(Segment{start, std::min(size, start + step), start, new_md5(), false, std::string()});
    }
}

long long RangeHasher::contiguous_end(long long from) const {
    std::size_t index = static_cast<std::size_t>(from / range_);
    long long end = from;
    while (index < written_.size()) {
        const long long start = static_cast<long long>(index) * range_;
        end = start + written_[index];
        if (end < std::min(size_, start + range_)) break;  // this range is still arriving
        ++index;
    }
    return std::max(end, from);
}

void RangeHasher::advance(Segment& segment, PyObject* path, long long budget) {
    State& s = state();
    long long until = std::min(segment.end, contiguous_end(segment.pos));
    if (budget != kUnbounded) until = std::min(until, segment.pos + budget);
    if (until <= segment.pos) return;
    Ref file = call(global(s.n.open.get()).get(), {path, s.read_binary.get()});
    try {
        Ref offset = require(PyLong_FromLongLong(segment.pos));
        call_method(file.get(), s.n.seek.get(), {offset.get()});
        Ref buffer = require(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kBlock)));
        Ref view = require(PyMemoryView_FromObject(buffer.get()));
        while (segment.pos < until) {
            const long long want = std::min(kBlock, until - segment.pos);
            Ref part = want == kBlock ? view : require(PySequence_GetSlice(view.get(), 0, want));
            const long long got = tavrin::as_long_long(call_method(file.get(), s.n.readinto.get(), {part.get()}).get());
            if (got <= 0) break;  // not there after all: left for later
            Ref piece = got == want ? part : require(PySequence_GetSlice(part.get(), 0, got));
            call_method(segment.md5.get(), s.n.update.get(), {piece.get()});
            segment.pos += got;
            // Unbounded: on with what other ranges wrote meanwhile.
            if (segment.pos == until && budget == kUnbounded) until = std::min(segment.end, contiguous_end(until));
        }
    } catch (const tavrin::PyErrOccurred&) {
        close_and_reraise(file.get());
    }
    call_method(file.get(), s.n.close.get(), {});
}

void RangeHasher::complete(Segment& segment) {
    Ref digest = call_method(segment.md5.get(), state().n.digest.get(), {});
    segment.digest.assign(PyBytes_AS_STRING(digest.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(digest.get())));
}

void RangeHasher::written(std::size_t index, PyObject* block, long long at, long long length, PyObject* path) {
    State& s = state();
    written_[index] = at + length - static_cast<long long>(index) * range_;
    const long long end = at + length;
    const std::size_t first = cut_ > 0 ? static_cast<std::size_t>(at / cut_) : 0;
    for (std::size_t k = first; k < segments_.size() && segments_[k].start < end; ++k) {
        Segment& segment = segments_[k];
        if (segment.busy || !segment.digest.empty() || segment.pos >= segment.end) continue;
        // Hashing lets go of the GIL: the segment is this thread's meanwhile.
        segment.busy = true;
        try {
            if (at <= segment.pos && segment.pos < end) {
                // It goes on with this block: hashed from memory.
                const long long stop = std::min(end, segment.end);
                Ref piece = segment.pos == at && stop == end
                                ? Ref::borrow(block)
                                : require(PySequence_GetSlice(block, segment.pos - at, stop - at));
                call_method(segment.md5.get(), s.n.update.get(), {piece.get()});
                segment.pos = stop;
            }
            // Bytes other ranges wrote before (this block may close a gap).
            if (segment.pos < segment.end) advance(segment, path, cut_ > 0 ? kUnbounded : kStep);
        } catch (const tavrin::PyErrOccurred&) {
            segment.busy = false;
            throw;
        }
        segment.busy = false;
        if (segment.pos == segment.end) complete(segment);
    }
}

Ref RangeHasher::finish(PyObject* path) {
    std::string joined;
    for (Segment& segment : segments_) {
        if (segment.digest.empty()) {
            advance(segment, path, kUnbounded);
            complete(segment);
        }
        joined += segment.digest;
    }
    if (cut_ == 0) {
        Ref binary = require(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
        return call_method(binary.get(), state().n.hex.get(), {});
    }
    return parts_digest(joined);
}

}  // namespace ostrel
