// The digest of a file that byte ranges write in any order (hashing.cpp),
// made while the ranges arrive, so that checking a ranged download costs
// no pass over the file once it is complete. Used with the GIL.
#pragma once

#include "ostrel.hpp"

#include <string>
#include <vector>

namespace ostrel {

class RangeHasher {
public:
    // A file of `size` bytes written in ranges of `range` bytes (the last
    // one shorter); `cut`: 0 for the MD5 of the whole content (a plain ETag),
    // else the part size of a multipart ETag.
    RangeHasher(long long size, long long range, long long cut);

    // Range `index` wrote `block` (a bytes-like object of `length` bytes) at
    // byte `at` of the file at `path`, right after its earlier bytes.
    // A part that lies inside the range is hashed from the blocks; one that
    // spans ranges is read from the file once the bytes before the block are
    // there (the contiguous bytes of a plain ETag, a little at a time).
    void written(std::size_t index, PyObject* block, long long at, long long length, PyObject* path);

    // Hashes what is left from the file at `path`: the digest (hex) that an
    // ETag of this cut shows.
    Ref finish(PyObject* path);

private:
    struct Segment {
        long long start;
        long long end;
        long long pos;  // bytes before it are hashed
        Ref md5;
        bool busy = false;  // being hashed by a thread (that lets go of the GIL meanwhile)
        std::string digest;  // binary, once complete
    };

    long long contiguous_end(long long from) const;
    // Hashes the segment's bytes from the file at `path`, as far as they are
    // written without a gap (at most `budget` of them, unless kUnbounded).
    void advance(Segment& segment, PyObject* path, long long budget);
    // Takes the segment's digest: all its bytes are hashed.
    void complete(Segment& segment);

    long long size_;
    long long range_;
    long long cut_;
    std::vector<long long> written_;  // bytes of each range written
    std::vector<Segment> segments_;
};

}  // namespace ostrel
