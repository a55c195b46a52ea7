// One level of a bucket's listing: the objects directly under a prefix and
// the folders ("/"-ended common prefixes) below it, from one listing with
// "/" as delimiter. The file system layer's ls() maps onto it.
#include "listing.hpp"

namespace ostrel {

namespace {

// TavrinOstrel._bucket_list_level(self, bucket_name, prefix=u'')
constexpr Signature<3> kBucketListLevel{"_bucket_list_level", {"self", "bucket_name", "prefix"}, 2};
Ref bucket_list_level(const Args<3>& a) { return listing_records(a[0], a[1], a.get_or(2, state().empty.get()), false); }

}  // namespace

PyMethodDef bucket_list_level_def = tavrin::method_def<3, kBucketListLevel, bucket_list_level>(
    "TavrinOstrel._bucket_list_level(self, bucket_name, prefix=u'')");

}  // namespace ostrel
