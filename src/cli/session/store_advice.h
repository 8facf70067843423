// What to do about an object store's failure, added to the library's
// reason text: the library says what the store (or libcurl) answered,
// korbr says what the operator can change.
#ifndef KORBR_CLI_SESSION_STORE_ADVICE_H_
#define KORBR_CLI_SESSION_STORE_ADVICE_H_

#include <string>

namespace kor {
namespace cli {

// Advice for the failure text `text` of a stripe on object storage, or ""
// when there is none.  `ca_bundle` is AWS_CA_BUNDLE ("" when unset): a
// store reached over TLS whose certificate is refused needs it, or a
// better one.
std::string StoreFailureAdvice(const std::string &text,
                               const std::string &ca_bundle);

// The object a failure text names ("s3://BUCKET/KEY" up to the ':' after
// it) when the store's reply in it has no error code (a HEAD's status
// alone), so that the store can be asked why; "" otherwise.
std::string UnexplainedStoreObject(const std::string &text);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_STORE_ADVICE_H_
