// Content checks against an object's ETag (verify.cpp): the digests that
// the content match of skip_unchanged and the downloads' checks share, and
// the verdict on what a download wrote. Used with the GIL.
//
// A plain ETag (32 hex digits) is the MD5 of the content; a multipart one
// ("<md5>-<N>") is the MD5 of the N parts' binary MD5s for the object's
// part size. The part size is taken from what uploads commonly use; when
// none of those matches, the server is asked for the parts' sizes
// (stat_object with partNumber). An ETag of any other shape, or one of an
// object whose headers show SSE-C or KMS encryption, cannot be checked.
#pragma once

#include "ostrel.hpp"

#include <functional>
#include <string>
#include <vector>

namespace ostrel {

// The `verify` value as used: on for True and None, off for False;
// ValueError naming the key for anything else.
bool verify_from(PyObject* value);

// verify_from(self._config.verify), an optional attribute: on when absent.
bool configured_verify(PyObject* self);

// What an ETag stands for: the MD5 (lower-case hex) and the number of
// parts, 0 for a plain MD5.
struct ContentTag {
    std::string md5;
    long long parts = 0;
};

// `etag` (quotes dropped) as a ContentTag; false when it is no MD5 of either form.
bool parse_etag(PyObject* etag, ContentTag& tag);

// The part sizes that cut `size` bytes in exactly `parts` parts, among the
// client library's choice for that size, ours and the common ones.
std::vector<long long> part_sizes(long long size, long long parts);

// One way of cutting the content into parts, and its digests so far: every
// part of `part_size` bytes (0: one part, a plain MD5), or of the sizes in
// `exact`, one after another.
class Cut {
public:
    explicit Cut(long long part_size, std::vector<long long> exact = {});

    // Feeds the first `count` bytes of the buffer `view` (a memoryview of
    // `whole` bytes).
    void feed(PyObject* view, long long whole, long long count);

    // The MD5 (hex) of the whole content for a plain ETag, else the MD5 of
    // the parts' digests (the last part ends here). Ends the cut.
    Ref digest(bool parted);

    long long part_size() const noexcept { return part_size_; }

private:
    long long next_size() const noexcept;

    long long part_size_;
    std::vector<long long> exact_;
    long long filled_ = 0;  // bytes in the current part
    Ref current_;
    std::string digests_;   // binary MD5s of the finished parts
    std::size_t finished_ = 0;
};

// Feeds every cut the content, exactly once each; false when the content
// is not of the expected size.
using ContentFeed = std::function<bool(std::vector<Cut>&)>;

// Runs `cuts` over the content `feed` gives: true when one of them gives
// `tag`. `computed`, when empty, gets the first cut's digest as an ETag
// shows it.
bool cuts_match(const ContentFeed& feed, std::vector<Cut>& cuts, const ContentTag& tag, Ref& computed);

// Feeds every cut the regular file at `path`, opened with the builtin
// open(), read in blocks; false when it holds more or fewer than `size` bytes.
bool feed_file(PyObject* path, long long size, std::vector<Cut>& cuts);

// What a download's content is checked against: set when the object's ETag
// can be checked (its shape, and headers without SSE-C or KMS).
class Expected {
public:
    Expected() = default;
    // From the ETag and the headers the object came with (a mapping with
    // get(), or None when none were seen).
    Expected(PyObject* etag, PyObject* headers);
    // From what stat_object returns (its etag and metadata, both optional);
    // never set for None.
    static Expected of_stat(PyObject* stat);
    explicit operator bool() const noexcept { return checkable_; }
    const ContentTag& tag() const noexcept { return tag_; }
    PyObject* etag() const noexcept { return etag_.get(); }

private:
    bool checkable_ = false;
    ContentTag tag_;
    Ref etag_;
};

enum class Verdict { kMatch, kMismatch, kUnknown };

// The verdict on content of `size` bytes that `feed` gives, against
// `expected` (which is set). A multipart ETag tries the known part sizes
// not in `tried`, then asks client.stat_object(bucket_name, object_name,
// extra_query_params={"partNumber": K}) for the parts' sizes. `computed`
// gets the digest found, for the message of a mismatch.
Verdict judge(PyObject* client, PyObject* bucket_name, PyObject* object_name, const Expected& expected,
              long long size, const ContentFeed& feed, Ref& computed, const std::vector<long long>& tried = {});

// The exact sizes of the parts of an object of `size` bytes whose ETag is
// the multipart `tag`, as the server names them (stat_object with
// partNumber 1 to N, one request each); false when it does not name them
// all, or they do not add up to `size`.
bool exact_parts(PyObject* client, PyObject* bucket_name, PyObject* object_name, const ContentTag& tag,
                 long long size, std::vector<long long>& exact);

// judge() of the file at `path` (of `size` bytes).
Verdict judge_file(PyObject* client, PyObject* bucket_name, PyObject* object_name, const Expected& expected,
                   PyObject* path, long long size, Ref& computed);

// A new hashlib.md5(usedforsecurity=False).
Ref new_md5();

// The hex `digest` as an ETag of `parts` parts shows it ("<hex>-<parts>";
// the digest alone for 0).
Ref shown(Ref digest, long long parts);

// Checks `body` (bytes, a response's whole content) against the ETag of
// the response's `headers`; raises IntegrityError when it does not match.
void check_body(PyObject* client, PyObject* bucket_name, PyObject* object_name, PyObject* headers, PyObject* body);

// The digest of a multipart ETag from the parts' binary MD5s, joined.
Ref parts_digest(const std::string& digests);

// Raises tavrin_minio.IntegrityError(message).
[[noreturn]] void raise_integrity(PyObject* message);

// Raises tavrin_minio.IntegrityError naming the object, the expected ETag
// and the computed digest.
[[noreturn]] void raise_integrity_error(PyObject* bucket_name, PyObject* object_name, const Expected& expected,
                                        PyObject* computed);

}  // namespace ostrel
