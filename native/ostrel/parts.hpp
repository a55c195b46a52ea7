// Sizes of the parts that big objects are cut into, shared by the ranged
// downloads, the multipart uploads and the content match of skip_unchanged.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

inline constexpr long long kMiB = 1024 * 1024;

// The most parts of one multipart upload (the client library's and S3's limit).
inline constexpr long long kMaxParts = 10000;

// Objects of at least this size move in parts on the transfer threads when
// `workers` is 2 or more: downloads by byte ranges, uploads as the parts of
// one multipart upload.
inline constexpr long long kPartedMinimum = 16 * kMiB;

// The part size for an object of `size` bytes: 8 MiB, or larger (in whole
// MiB) where that would make more than kMaxParts parts.
inline long long part_size(long long size) {
    constexpr long long kPartSize = 8 * kMiB;
    if ((size + kPartSize - 1) / kPartSize <= kMaxParts) return kPartSize;
    return ((size + kMaxParts - 1) / kMaxParts + kMiB - 1) / kMiB * kMiB;
}

}  // namespace ostrel
