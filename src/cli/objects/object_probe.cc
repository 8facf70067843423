// Asking a store about objects (built with object storage).
#include "cli/objects/object_probe.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "os/objstore/s3_client.h"
#include "os/objstore/s3_settings.h"
#include "os/win32_codes.h"

namespace kor {
namespace cli {
namespace {

// A client for `location` with the environment's settings.  One given
// `interrupted` gives up once it says so; the others (null) are what an
// interrupted backup cleans up with, and end only when their retries do
// (or a second signal ends the process).  Null with *error.
std::unique_ptr<S3Client> ClientFor(const ObjectLocation &location,
                                    bool (*interrupted)(), std::string *error) {
  S3Settings settings;
  if (LoadS3Settings(&settings, error) != 0) return nullptr;
  return std::make_unique<S3Client>(
      settings, location,
      [interrupted](uint32_t milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return interrupted == nullptr || !interrupted();
      },
      [interrupted] { return interrupted != nullptr && interrupted(); });
}

std::unique_ptr<S3Client> ClientForUrl(const std::string &url,
                                       bool (*interrupted)(),
                                       std::string *error) {
  ObjectLocation location;
  if (!ParseObjectUrl(url, &location)) {
    *error = url + " is not an object URL s3://BUCKET/KEY";
    return nullptr;
  }
  return ClientFor(location, interrupted, error);
}

}  // namespace

int ObjectExists(const std::string &url, bool (*interrupted)(),
                 std::string *error) {
  std::unique_ptr<S3Client> client = ClientForUrl(url, interrupted, error);
  if (!client) return -1;
  uint64_t size = 0;
  const S3Failure failure = client->Head(&size);
  if (failure.code == 0) return 1;
  // A missing bucket is another code, and an error.
  if (failure.code == kErrorFileNotFound) return 0;
  *error = "cannot tell whether " + url + " exists: " + failure.text;
  return -1;
}

bool ListObjects(const std::string &url_prefix,
                 std::vector<ListedObject> *objects, std::string *error) {
  // The prefix may be the whole bucket (s3://BUCKET/), which is no object
  // URL: it is taken apart with a key character added, then dropped.
  ObjectLocation location;
  if (!ParseObjectUrl(url_prefix + "x", &location)) {
    *error = url_prefix + " is not an object prefix s3://BUCKET/PREFIX";
    return false;
  }
  location.key.pop_back();
  std::unique_ptr<S3Client> client = ClientFor(location, nullptr, error);
  if (!client) return false;
  const std::string base =
      url_prefix.substr(0, url_prefix.size() - location.key.size());
  objects->clear();
  std::string token;
  do {
    S3ListPage page;
    const S3Failure failure = client->ListPage(location.key, token, &page);
    if (failure.code != 0) {
      *error = "cannot list " + url_prefix + ": " + failure.text;
      return false;
    }
    for (const S3ListedObject &object : page.objects)
      objects->push_back({base + object.key, object.size});
    token = page.truncated ? page.next_token : std::string();
  } while (!token.empty());
  return true;
}

bool ReadObjectRange(const std::string &url, uint64_t offset, uint8_t *buffer,
                     size_t length, std::string *error) {
  std::unique_ptr<S3Client> client = ClientForUrl(url, nullptr, error);
  if (!client) return false;
  if (length == 0) return true;
  size_t got = 0;
  S3Failure failure;
  // A reply cut short is asked for again from its first missing byte, a
  // few times.
  constexpr int kTries = 4;
  for (int attempt = 1; attempt <= kTries; ++attempt) {
    uint64_t received = 0;
    failure = client->GetOnce(
        offset + got, length - got,
        [&](const uint8_t *data, size_t n) {
          std::memcpy(buffer + got, data, n);
          got += n;
          return true;
        },
        &received);
    if (failure.code == 0) return true;  // every byte asked for came
    if (!failure.retry) break;
  }
  *error = "cannot read " + url + ": " + failure.text;
  return false;
}

bool DeleteObject(const std::string &url, std::string *error) {
  std::unique_ptr<S3Client> client = ClientForUrl(url, nullptr, error);
  if (!client) return false;
  const S3Failure failure = client->Delete();
  if (failure.code == 0) return true;
  *error = "cannot remove " + url + ": " + failure.text;
  return false;
}

std::string AskStoreWhy(const std::string &url) {
  std::string error;
  std::unique_ptr<S3Client> client = ClientForUrl(url, nullptr, &error);
  if (!client) return "";
  uint64_t received = 0;
  const S3Failure failure = client->GetOnce(
      0, 1, [](const uint8_t *, size_t) { return true; }, &received);
  return failure.code != 0 ? failure.store_reason : "";
}

}  // namespace cli
}  // namespace kor
