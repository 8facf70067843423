// Library callbacks: the three C callbacks korbr registers with the
// library (message texts, information messages, cancellation).
//
// Contract: the library's callbacks are plain function pointers without a
// context argument, so the session they serve is reached through one
// pointer, set only here: ConnectLibrary() checks the loaded library's
// interface version, makes `listener` the target and registers the
// callbacks; DisconnectLibrary() clears the target if it is still
// `listener`.  One listener at a time.  The cancelled callback answers yes
// once Ctrl-C came (interrupts.h) or the listener gave the run up.
#ifndef KORBR_CLI_SESSION_LIBRARY_CALLBACKS_H_
#define KORBR_CLI_SESSION_LIBRARY_CALLBACKS_H_

#include <cstdint>
#include <string>

#include "korbr/korbr.h"

namespace kor {
namespace cli {

class LibraryListener {
 public:
  // An information message from the library (any thread).
  virtual void OnInfo(int32_t number, const KorMessageArg *args) = 0;
  // True once the host itself gave the operation up.
  virtual bool GaveUp() const = 0;

 protected:
  ~LibraryListener() = default;
};

bool ConnectLibrary(LibraryListener *listener, std::string *error);
void DisconnectLibrary(LibraryListener *listener);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_LIBRARY_CALLBACKS_H_
