// Digests kept by file identity (digests.cpp): what the content comparisons
// of skip_unchanged learnt of a local file, and what the transfers know of
// the files they read or wrote, kept in an SQLite file so that a re-run
// need not read a file that has not changed since.
//
// A file's identity is its device, inode, size, modification time and change
// time (on Windows the change time is read natively; st_ctime there is the
// creation time). An entry is used only while all five are unchanged, and
// only when it was written at least one timestamp tick after the file last
// changed: a file changed in the tick its entry was written may keep all
// five, so such an entry is never trusted and the file is hashed again.
//
// The cache never fails a transfer: when it cannot be opened, read or
// written (corrupt, locked past a short wait, on a read-only disk), the
// client warns once and every file is hashed as without it. Used with the GIL.
#pragma once

#include "ostrel.hpp"

#include <string>
#include <vector>

namespace ostrel {

// The `digest_cache` value as used: the path of the cache file (a str),
// True for the user's cache folder's file (None and True), or empty for
// False (no cache). ValueError naming the key for anything else.
Ref digest_cache_from(PyObject* value);

// A local file's identity, from os.stat() or os.lstat().
struct FileIdentity {
    std::string dev;
    std::string ino;
    long long size = 0;
    long long mtime_ns = 0;
    long long ctime_ns = 0;
    bool usable = true;  // false: the change time could not be read (the cache is not used)

    bool operator==(const FileIdentity& other) const noexcept {
        return dev == other.dev && ino == other.ino && size == other.size && mtime_ns == other.mtime_ns &&
               ctime_ns == other.ctime_ns;
    }
};

// The identity of the file at `path` whose stat result is `info`.
FileIdentity identity_of(PyObject* path, PyObject* info);

// A digest known for a file: the MD5 (hex) of its content cut into parts of
// `part_size` (0: the whole content's, as a plain ETag), or, for
// kTransferred, the ETag (lower case, no quotes) of the object that a
// transfer made from the file or wrote into it.
struct KnownDigest {
    static constexpr long long kTransferred = -1;
    long long part_size;
    std::string digest;
};

class DigestStore;

// The cache a client's calls use (self._config.digest_cache); off when the
// key says so, or the cache failed in this process.
class Digests {
public:
    explicit Digests(PyObject* self);
    explicit operator bool() const noexcept { return store_ != nullptr; }

    // Nanoseconds since the epoch, by the clock the file times follow.
    static long long now_ns();

    // The digests of the file of `identity` that can be trusted; none when
    // the cache is off or fails.
    std::vector<KnownDigest> known(const FileIdentity& identity) const;

    // Keeps `digest` of the file of `identity`, whose content was read from
    // `since` (a now_ns() before its identity was taken).
    void record(const FileIdentity& identity, long long part_size, const std::string& digest, long long since) const;

    // A download wrote `path` (str) with the content of the object of
    // `etag`; kept once the tick of its last change has passed.
    void written(PyObject* path, PyObject* etag) const;

    // Writes what was recorded; waits out the tick of files just written
    // (at most a tick). Raises nothing but an interrupt of that wait.
    static void flush(PyObject* self);

private:
    Ref self_;
    DigestStore* store_ = nullptr;
};

// The identity of a file an upload reads, taken before it starts: kept for
// the object's ETag once the upload is done, if the file did not change.
class SentFile {
public:
    SentFile() = default;
    SentFile(PyObject* self, PyObject* path);
    // The upload of the file made the object whose ETag is `etag`.
    void sent(PyObject* etag) const;

private:
    Ref self_;
    Ref path_;
    FileIdentity identity_;
    long long since_ = 0;
    bool taken_ = false;
};

}  // namespace ostrel
