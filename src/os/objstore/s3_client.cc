#include "os/objstore/s3_client.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "os/win32_codes.h"

namespace kor {
namespace {

// Error documents are small; anything longer is cut (it is only read for
// its code and message).
constexpr size_t kMaxReplyBody = 64 * 1024;
// A page of a list holds up to 1000 keys of up to 1024 bytes each, and
// is read whole.
constexpr size_t kMaxListReplyBody = 4 * 1024 * 1024;
// A stalled transfer (less than this many bytes a second for
// kStallSeconds) fails and is tried again.
constexpr long kStallBytesPerSecond = 1024;
constexpr long kStallSeconds = 60;
constexpr long kConnectSeconds = 10;
// libcurl's receive buffer for a GET's body: its 16 KiB default costs a
// poll, a recv and a hand-over to the reader per 16 KiB of a volume.
constexpr long kBodyBufferBytes = 256 * 1024;
// How often a running transfer asks whether it must stop.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(200);

// SHA-256 of nothing: the payload hash of requests without a body.
constexpr char kEmptySha256[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One lock for each kind of data the process's clients share, as libcurl
// asks.
std::mutex g_share_locks[CURL_LOCK_DATA_LAST];

void LockShare(CURL *, curl_lock_data data, curl_lock_access, void *) {
  g_share_locks[data].lock();
}

void UnlockShare(CURL *, curl_lock_data data, void *) {
  g_share_locks[data].unlock();
}

// Open connections, resolved names and TLS sessions, for every client of
// the process: the next part, the next volume's object and other stripes'
// requests take an idle connection to the store instead of opening one (a
// TCP handshake, and a TLS one with https) each.  It lives as long as the
// process.  Null when libcurl cannot make one: each client then keeps its
// own connection, as before.
CURLSH *ProcessShare() {
  static CURLSH *const share = [] {
    CURLSH *made = curl_share_init();
    if (made == nullptr) return made;
    curl_share_setopt(made, CURLSHOPT_LOCKFUNC, LockShare);
    curl_share_setopt(made, CURLSHOPT_UNLOCKFUNC, UnlockShare);
    curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(made, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return made;
  }();
  return share;
}

bool StartsWithNoCase(const char *text, size_t length, const char *prefix) {
  const size_t n = std::strlen(prefix);
  if (length < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (lower != prefix[i]) return false;
  }
  return true;
}

std::string Trimmed(const char *text, size_t length) {
  size_t begin = 0, end = length;
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == '\r' || text[end - 1] == '\n' ||
                         text[end - 1] == ' ' || text[end - 1] == '\t'))
    --end;
  return std::string(text + begin, end - begin);
}

std::string XmlEscaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

S3Failure Cancelled(const std::string &during) {
  S3Failure failure;
  failure.code = kErrorCancelled;
  failure.text = "object store: request given up (cancelled)" +
                 (during.empty() ? std::string() : " after " + during);
  failure.text = SafeReasonText(failure.text);
  return failure;
}

S3Failure Unexpected(const std::string &what) {
  S3Failure failure;
  failure.code = kErrorIoDevice;
  failure.text = SafeReasonText("object store: " + what);
  return failure;
}

}  // namespace

struct S3Client::Request {
  const char *method = "GET";
  std::string key;  // empty: the bucket
  QueryParams query;
  const uint8_t *body = nullptr;
  size_t body_length = 0;
  std::string payload_hash;  // of the body; computed when empty
  std::string range;         // "bytes=a-b", or empty
  bool xml_body = false;
  const BodySink *sink = nullptr;  // where a 206 body goes
  bool sink_takes_200 = false;     // and a 200 one (a range from byte 0)
  size_t max_body = kMaxReplyBody;  // of a body kept in the reply
};

struct S3Client::Reply {
  long status = 0;
  std::string body;
  uint64_t sink_used = 0;
  bool sink_stopped = false;
  bool has_length = false;
  uint64_t content_length = 0;
  std::string etag;
  const Request *request = nullptr;
  size_t upload_offset = 0;
  std::chrono::steady_clock::time_point next_stop_check;
  const StopCheck *stop = nullptr;
  bool stopped = false;
};

namespace {

size_t OnHeader(char *text, size_t size, size_t count, void *context) {
  auto *reply = static_cast<S3Client::Reply *>(context);
  const size_t length = size * count;
  if (StartsWithNoCase(text, length, "http/")) {
    // A new status line (after "100 Continue" too): what came before it
    // belongs to an interim reply.
    const char *space = static_cast<const char *>(std::memchr(text, ' ', length));
    reply->status = space != nullptr ? std::strtol(space + 1, nullptr, 10) : 0;
    reply->has_length = false;
    reply->etag.clear();
  } else if (StartsWithNoCase(text, length, "content-length:")) {
    const std::string value = Trimmed(text + 15, length - 15);
    char *end = nullptr;
    reply->content_length = std::strtoull(value.c_str(), &end, 10);
    reply->has_length = !value.empty() && *end == '\0';
  } else if (StartsWithNoCase(text, length, "etag:")) {
    reply->etag = Trimmed(text + 5, length - 5);
  }
  return length;
}

size_t OnBody(char *data, size_t size, size_t count, void *context) {
  auto *reply = static_cast<S3Client::Reply *>(context);
  const size_t length = size * count;
  const S3Client::Request &request = *reply->request;
  // A server may answer a range with the whole object (200): that body
  // is what was asked for only when the range began at byte 0.
  if (request.sink != nullptr &&
      (reply->status == 206 || (reply->status == 200 && request.sink_takes_200))) {
    if (!(*request.sink)(reinterpret_cast<const uint8_t *>(data), length)) {
      reply->sink_stopped = true;
      return 0;  // the reader is gone: stop the transfer
    }
    reply->sink_used += length;
    return length;
  }
  const size_t most = request.max_body;
  if (reply->body.size() < most)
    reply->body.append(data, std::min(length, most - reply->body.size()));
  return length;
}

size_t OnUpload(char *buffer, size_t size, size_t count, void *context) {
  auto *reply = static_cast<S3Client::Reply *>(context);
  const S3Client::Request &request = *reply->request;
  const size_t left = request.body_length - reply->upload_offset;
  const size_t n = std::min(left, size * count);
  if (n > 0) std::memcpy(buffer, request.body + reply->upload_offset, n);
  reply->upload_offset += n;
  return n;
}

int OnSeek(void *context, curl_off_t offset, int origin) {
  auto *reply = static_cast<S3Client::Reply *>(context);
  if (origin != SEEK_SET || offset < 0 ||
      static_cast<uint64_t>(offset) > reply->request->body_length)
    return CURL_SEEKFUNC_CANTSEEK;
  reply->upload_offset = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

int OnProgress(void *context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto *reply = static_cast<S3Client::Reply *>(context);
  if (reply->stop == nullptr || !*reply->stop) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (now < reply->next_stop_check) return 0;
  reply->next_stop_check = now + kStopCheckInterval;
  if ((*reply->stop)()) {
    reply->stopped = true;
    return 1;
  }
  return 0;
}

// The options every request sets: where it goes, how it is signed and
// verified, when a stalled transfer gives up, and the callbacks that fill
// *reply.
void SetTransferOptions(CURL *curl, const S3Settings &settings,
                        const std::string &url, S3Client::Reply *reply) {
  const std::string sigv4 = "aws:amz:" + settings.region + ":s3";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (CURLSH *share = ProcessShare())
    curl_easy_setopt(curl, CURLOPT_SHARE, share);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#endif
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
  // Not CURLOPT_USERPWD: keys may hold a colon, where it would split them.
  curl_easy_setopt(curl, CURLOPT_USERNAME, settings.access_key.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, settings.secret_key.c_str());
  if (!settings.ca_bundle.empty())
    curl_easy_setopt(curl, CURLOPT_CAINFO, settings.ca_bundle.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, reply);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, reply);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, reply);
}

// Sets the request's own headers (and a GET's larger body buffer); the
// list returned is the caller's to free once the transfer is over.
struct curl_slist *SetRequestHeaders(CURL *curl, const S3Settings &settings,
                                     const S3Client::Request &request) {
  // Every request carries its payload hash: the server checks the body
  // against it, and libcurl signs it as given.
  std::string hash = request.payload_hash;
  if (hash.empty()) {
    hash = request.body_length == 0 ? kEmptySha256
                                    : Sha256Hex(request.body, request.body_length);
  }
  struct curl_slist *headers = nullptr;
  headers = curl_slist_append(headers, ("x-amz-content-sha256: " + hash).c_str());
  if (!settings.session_token.empty())
    headers = curl_slist_append(
        headers, ("x-amz-security-token: " + settings.session_token).c_str());
  if (!request.range.empty())
    headers = curl_slist_append(headers, ("Range: " + request.range).c_str());
  if (request.sink != nullptr)
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kBodyBufferBytes);
  if (request.xml_body)
    headers = curl_slist_append(headers, "Content-Type: application/xml");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  return headers;
}

// The method and, for PUT and POST, where the body comes from.
void SetMethodOptions(CURL *curl, const S3Client::Request &request,
                      S3Client::Reply *reply) {
  const std::string method = request.method;
  if (method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (method == "PUT") {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, OnUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, reply);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, OnSeek);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, reply);
    // Always the size: without it libcurl would send the body chunked,
    // which S3 refuses for a signed payload.
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(request.body_length));
  } else if (method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS,
                     request.body != nullptr
                         ? reinterpret_cast<const char *>(request.body)
                         : "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body_length));
  } else if (method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method);
  }
}

// What a transfer that libcurl ended with `result` failed with.
S3Failure TransportFailure(CURLcode result, const S3Client::Reply &reply) {
  if (reply.stopped || reply.sink_stopped) return Cancelled("");
  // A refused certificate or an unusable URL stays as it is however
  // often it is tried.
  const bool retry = result != CURLE_PEER_FAILED_VERIFICATION &&
                     result != CURLE_SSL_CACERT_BADFILE &&
                     result != CURLE_URL_MALFORMAT &&
                     result != CURLE_UNSUPPORTED_PROTOCOL &&
                     result != CURLE_OUT_OF_MEMORY;
  return FailureFromTransport(retry, curl_easy_strerror(result));
}

}  // namespace

std::string Sha256Hex(const uint8_t *data, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(data, length, digest, &digest_length, EVP_sha256(),
                 nullptr) != 1)
    return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < digest_length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string CompleteUploadBody(const std::vector<std::string> &etags) {
  std::string body = "<CompleteMultipartUpload>";
  for (size_t i = 0; i < etags.size(); ++i) {
    body += "<Part><PartNumber>" + std::to_string(i + 1) +
            "</PartNumber><ETag>" + XmlEscaped(etags[i]) + "</ETag></Part>";
  }
  body += "</CompleteMultipartUpload>";
  return body;
}

S3Client::S3Client(const S3Settings &settings, const ObjectLocation &location,
                   RetryWait wait, StopCheck stop)
    : settings_(settings),
      location_(location),
      wait_(std::move(wait)),
      stop_(std::move(stop)),
      curl_(nullptr) {
  GlobalInit();
  ProcessShare();
  curl_ = curl_easy_init();
}

S3Client::~S3Client() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL *>(curl_));
}

bool S3Client::Attempt(const Request &request, Reply *reply,
                       S3Failure *failure) {
  CURL *curl = static_cast<CURL *>(curl_);
  if (curl == nullptr) {
    *failure = FailureFromTransport(false, "libcurl could not start");
    return false;
  }
  *reply = Reply();
  reply->request = &request;
  reply->stop = &stop_;
  // The connection stays; every option is set again for this request.
  curl_easy_reset(curl);
  const std::string url = RequestUrl(settings_.endpoint, location_.bucket,
                                     request.key, request.query);
  SetTransferOptions(curl, settings_, url, reply);
  struct curl_slist *headers = SetRequestHeaders(curl, settings_, request);
  SetMethodOptions(curl, request, reply);
  const CURLcode result = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  if (result == CURLE_OK) return true;
  *failure = TransportFailure(result, *reply);
  return false;
}

S3Failure S3Client::Run(const Request &request, Reply *reply) {
  for (int attempt = 0;; ++attempt) {
    S3Failure failure;
    if (Attempt(request, reply, &failure)) {
      if (reply->status / 100 == 2) return S3Failure();
      S3ErrorReply document;
      ParseErrorReply(reply->body, &document);
      failure = FailureFromReply(reply->status, document);
    }
    if (failure.code == kErrorCancelled) return failure;
    if (!failure.retry || attempt >= settings_.retries) {
      if (attempt > 0)
        failure.text = SafeReasonText(failure.text + ", after " +
                                      std::to_string(attempt + 1) + " tries");
      return failure;
    }
    if (wait_ && !wait_(RetryDelayMs(attempt + 1))) return Cancelled(failure.text);
  }
}

S3Failure S3Client::CreateUpload(std::string *upload_id) {
  Request request;
  request.method = "POST";
  request.key = location_.key;
  request.query = {{"uploads", ""}};
  Reply reply;
  S3Failure failure = Run(request, &reply);
  if (failure.code != 0) return failure;
  if (!ParseUploadId(reply.body, upload_id))
    return Unexpected("no upload id in the reply to a new upload");
  return failure;
}

S3Failure S3Client::UploadPart(const std::string &upload_id, int part_number,
                               const uint8_t *data, size_t length,
                               std::string *etag) {
  Request request;
  request.method = "PUT";
  request.key = location_.key;
  request.query = {{"partNumber", std::to_string(part_number)},
                   {"uploadId", upload_id}};
  request.body = data;
  request.body_length = length;
  Reply reply;
  S3Failure failure = Run(request, &reply);
  if (failure.code != 0) return failure;
  if (reply.etag.empty()) return Unexpected("no ETag for an uploaded part");
  *etag = reply.etag;
  return failure;
}

S3Failure S3Client::CompleteUpload(const std::string &upload_id,
                                   const std::vector<std::string> &etags) {
  const std::string body = CompleteUploadBody(etags);
  Request request;
  request.method = "POST";
  request.key = location_.key;
  request.query = {{"uploadId", upload_id}};
  request.body = reinterpret_cast<const uint8_t *>(body.data());
  request.body_length = body.size();
  request.xml_body = true;
  Reply reply;
  S3Failure failure = Run(request, &reply);
  if (failure.code != 0) return failure;
  if (IsCompleteResult(reply.body)) return failure;
  // Status 200 and an error document: the completion failed after all.
  S3ErrorReply document;
  if (ParseErrorReply(reply.body, &document))
    return FailureFromReply(reply.status, document);
  return Unexpected("the store did not confirm the completed upload");
}

S3Failure S3Client::AbortUpload(const std::string &upload_id) {
  Request request;
  request.method = "DELETE";
  request.key = location_.key;
  request.query = {{"uploadId", upload_id}};
  Reply reply;
  S3Failure failure = Run(request, &reply);
  // An upload that is gone already is as good as aborted.
  if (failure.code == kErrorFileNotFound) return S3Failure();
  return failure;
}

S3Failure S3Client::Head(uint64_t *size) {
  Request request;
  request.method = "HEAD";
  request.key = location_.key;
  Reply reply;
  S3Failure failure = Run(request, &reply);
  if (failure.code == kErrorFileNotFound) {
    // A HEAD reply has no document to say which is missing: ask about the
    // bucket.
    Request bucket;
    bucket.method = "HEAD";
    Reply bucket_reply;
    const S3Failure missing = Run(bucket, &bucket_reply);
    S3ErrorReply document;
    document.code = missing.code == kErrorFileNotFound ? "NoSuchBucket" : "NoSuchKey";
    failure = FailureFromReply(404, document);
  }
  if (failure.code != 0) return failure;
  if (!reply.has_length) return Unexpected("no size in the reply to HEAD");
  *size = reply.content_length;
  return failure;
}

S3Failure S3Client::Delete() {
  Request request;
  request.method = "DELETE";
  request.key = location_.key;
  Reply reply;
  S3Failure failure = Run(request, &reply);
  if (failure.code == kErrorFileNotFound) return S3Failure();
  return failure;
}

S3Failure S3Client::ListPage(const std::string &prefix,
                             const std::string &continuation,
                             S3ListPage *page) {
  Request request;
  request.query = {{"list-type", "2"}, {"prefix", prefix}};
  request.max_body = kMaxListReplyBody;
  if (!continuation.empty())
    request.query.emplace_back("continuation-token", continuation);
  Reply reply;
  S3Failure failure = Run(request, &reply);
  if (failure.code != 0) return failure;
  if (!ParseListReply(reply.body, page))
    return Unexpected("an unreadable reply to a list of objects");
  return failure;
}

S3Failure S3Client::GetOnce(uint64_t offset, uint64_t length,
                           const BodySink &sink, uint64_t *received) {
  Request request;
  request.key = location_.key;
  request.range = "bytes=" + std::to_string(offset) + "-" +
                  std::to_string(offset + length - 1);
  // More than was asked for would be a store gone wrong: refused.
  uint64_t taken = 0;
  const BodySink bounded = [&sink, &taken, length](const uint8_t *data,
                                                   size_t n) {
    if (n > length - taken) return false;
    taken += n;
    return sink(data, n);
  };
  request.sink = &bounded;
  request.sink_takes_200 = offset == 0;
  Reply reply;
  S3Failure failure;
  const bool replied = Attempt(request, &reply, &failure);
  *received = taken;
  if (replied && reply.status / 100 != 2) {
    S3ErrorReply document;
    ParseErrorReply(reply.body, &document);
    return FailureFromReply(reply.status, document);
  }
  if (!replied) {
    if (taken == length && failure.code == kErrorCancelled)
      failure = Unexpected("the store sent more bytes than were asked for");
    return failure;
  }
  if ((reply.status != 206 && !(reply.status == 200 && offset == 0)) ||
      taken != length) {
    failure = Unexpected("short reply to a ranged GET (" + std::to_string(taken) +
                         " of " + std::to_string(length) + " bytes)");
    failure.retry = true;
  }
  return failure;
}

}  // namespace kor
