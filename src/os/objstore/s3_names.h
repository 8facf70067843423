// The names of the S3 protocol, as pure functions: a volume's URL taken
// apart, the endpoint a request goes to, and the canonical spelling of
// paths and query strings.
//
// libcurl signs a request (SigV4) over its path and query exactly as they
// are written in the URL, so both must already be in the canonical form
// the server recomputes: every byte but A-Z a-z 0-9 - _ . ~ percent-encoded
// with upper-case hex (a key's '/' kept), query parameters sorted, and
// every parameter written "name=value" (an empty value as "name=").
#ifndef KORBR_OS_OBJSTORE_S3_NAMES_H_
#define KORBR_OS_OBJSTORE_S3_NAMES_H_

#include <string>
#include <utility>
#include <vector>

namespace kor {

// "s3://BUCKET/KEY" taken apart.
struct ObjectLocation {
  std::string bucket;
  std::string key;
};

// Splits an object URL.  False unless the scheme is s3 (any case), the
// bucket is 3 to 63 characters of a-z 0-9 . - (upper case and '_' too, as
// older buckets may have them) and the key is not empty.
bool ParseObjectUrl(const std::string &url, ObjectLocation *location);

// Where requests go: "scheme://host[:port]" and how buckets are addressed.
struct Endpoint {
  std::string base;         // no trailing slash
  bool path_style = true;   // "/BUCKET/KEY" rather than "BUCKET." in the host
};

// The endpoint named by `url` (AWS_ENDPOINT_URL: http:// or https://, a
// host, perhaps a port and a trailing slash; path-style addressing), or,
// when `url` is empty, Amazon S3's own endpoint for `region`.  False when
// `url` is not such a URL.
bool MakeEndpoint(const std::string &url, const std::string &region,
                  Endpoint *endpoint);

// AWS percent-encoding of `text`; '/' stays as it is when `keep_slash`.
std::string UriEncode(const std::string &text, bool keep_slash);

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// "a=1&b=&c=x%2Fy": names and values encoded, sorted by name then value.
std::string CanonicalQuery(QueryParams params);

// The full URL of a request on `key` in `bucket` (an empty key: the bucket
// itself), with the canonical query when there is one.
std::string RequestUrl(const Endpoint &endpoint, const std::string &bucket,
                       const std::string &key, const QueryParams &query);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_S3_NAMES_H_
