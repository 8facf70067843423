// Asking an object store why it refused, when the library could not tell.
//
// A HEAD request's reply carries no error document, so a volume the store
// refuses to open for reading fails with its HTTP status alone ("object
// store: (HTTP 403)"), where a backup, refused on a request with a body,
// names the store's error code and message.  korbr then asks the store
// itself: one GET of the first byte of the same object, signed with the
// same AWS_* settings, whose refusal carries the code and the message.
// It is asked only after the library failed, and only to explain.
#ifndef KORBR_CLI_SESSION_STORE_PROBE_H_
#define KORBR_CLI_SESSION_STORE_PROBE_H_

#include <string>

namespace kor {
namespace cli {

// The object a failure text names ("s3://BUCKET/KEY" up to the ':' after
// it) when the store's reply in it has no error code; "" otherwise.
std::string UnexplainedStoreObject(const std::string &text);

// The store's error code and message for a GET of `object`
// ("s3://BUCKET/KEY"), as "CODE: MESSAGE"; "" when the store does not
// refuse it, gives no error document, or cannot be asked (a build without
// object storage).
std::string AskStoreWhy(const std::string &object);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_STORE_PROBE_H_
