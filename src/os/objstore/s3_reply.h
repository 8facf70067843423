// The XML replies of an S3 server, read with libxml2.  Elements are matched
// by local name, whatever namespace the server puts them in; the reply is
// never allowed to fetch anything (no network, no external entities).
#ifndef KORBR_OS_OBJSTORE_S3_REPLY_H_
#define KORBR_OS_OBJSTORE_S3_REPLY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kor {

// <Error><Code>..</Code><Message>..</Message></Error>.
struct S3ErrorReply {
  std::string code;
  std::string message;
};

// True when `body` is an S3 error document (root element "Error"), with
// its code and message (either may be empty).
bool ParseErrorReply(const std::string &body, S3ErrorReply *reply);

// The UploadId of an InitiateMultipartUploadResult.  False when the body is
// not one or holds no id.
bool ParseUploadId(const std::string &body, std::string *upload_id);

// True when `body` is a CompleteMultipartUploadResult.  A server reports
// some failures of the completion with status 200 and an Error document
// instead, so the status alone does not tell.
bool IsCompleteResult(const std::string &body);

// One page of a ListObjectsV2 reply (ListBucketResult): each object's
// key and size, and the token that asks for the next page when the list
// was cut short.
struct S3ListedObject {
  std::string key;
  uint64_t size = 0;
};
struct S3ListPage {
  std::vector<S3ListedObject> objects;
  bool truncated = false;
  std::string next_token;
};

// False when `body` is not a ListBucketResult, an object in it has no key
// or a size that is not a number, or a page cut short names no next token
// (asking again would loop forever).
bool ParseListReply(const std::string &body, S3ListPage *page);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_S3_REPLY_H_
