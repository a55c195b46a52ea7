// Sizes of the parts that big objects are cut into, shared by the ranged
// downloads and the content match of skip_unchanged.
#pragma once

#include "ostrel.hpp"

namespace ostrel {

inline constexpr long long kMiB = 1024 * 1024;

// The most parts of one multipart upload (the client library's and S3's limit).
inline constexpr long long kMaxParts = 10000;

}  // namespace ostrel
