// Object storage in a build without it (KORBR_WITH_S3=OFF): every object
// name is refused as a device this build cannot drive.
#include "os/objstore/object_files.h"
#include "os/win32_codes.h"

namespace kor {

std::unique_ptr<ObjectFile> OpenObjectFile(const std::string & /*name*/,
                                           uint32_t /*access*/,
                                           uint32_t /*creation*/,
                                           uint32_t *error) {
  *error = kErrorNotSupported;
  return nullptr;
}

bool ObjectFailureText(uint32_t /*code*/, std::string * /*text*/) {
  return false;
}

void ForgetObjectFailure() {}

}  // namespace kor
