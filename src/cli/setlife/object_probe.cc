// Asking a store whether an object exists (built with object storage).
#include "cli/setlife/object_probe.h"

#include <chrono>
#include <thread>

#include "cli/session/interrupts.h"
#include "os/objstore/s3_client.h"
#include "os/objstore/s3_settings.h"
#include "os/win32_codes.h"

namespace kor {
namespace cli {

int ObjectExists(const std::string &url, std::string *error) {
  S3Settings settings;
  std::string why;
  ObjectLocation location;
  if (!ParseObjectUrl(url, &location)) {
    *error = url + " is not an object URL s3://BUCKET/KEY";
    return -1;
  }
  if (LoadS3Settings(&settings, &why) != 0) {
    *error = why;
    return -1;
  }
  S3Client client(
      settings, location,
      [](uint32_t milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return !Interrupted();
      },
      [] { return Interrupted(); });
  uint64_t size = 0;
  const S3Failure failure = client.Head(&size);
  if (failure.code == 0) return 1;
  // A missing bucket is another code, and an error.
  if (failure.code == kErrorFileNotFound) return 0;
  *error = "cannot tell whether " + url + " exists: " + failure.text;
  return -1;
}

}  // namespace cli
}  // namespace kor
