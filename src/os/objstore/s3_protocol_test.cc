// The pure parts of the S3 protocol: names and the canonical spellings that
// libcurl signs as given, the XML replies, and what a failure means to the
// core.  A wrong byte in any of these makes every request fail against a
// real server, or a failure be taken for another.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "os/objstore/object_upload.h"
#include "os/objstore/s3_client.h"
#include "os/objstore/s3_failure.h"
#include "os/objstore/s3_names.h"
#include "os/objstore/s3_reply.h"
#include "os/cancel_probe.h"
#include "os/objstore/s3_settings.h"
#include "os/objstore/transfer_waits.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

TEST(S3NamesTest, ObjectUrlsSplitIntoBucketAndKey) {
  struct Case {
    const char *url;
    bool valid;
    const char *bucket;
    const char *key;
  } cases[] = {
      {"s3://backups/sales/2026.s0.1", true, "backups", "sales/2026.s0.1"},
      {"S3://Old_Bucket/k", true, "Old_Bucket", "k"},
      {"s3://backups/a//b", true, "backups", "a//b"},
      {"s3://backups/", false, "", ""},       // no key
      {"s3://backups", false, "", ""},
      {"s3://bk/k", false, "", ""},           // bucket too short
      {"s3://my bucket/k", false, "", ""},
      {"s3:/backups/k", false, "", ""},
      {"http://backups/k", false, "", ""},
  };
  for (const Case &c : cases) {
    ObjectLocation location;
    ASSERT_EQ(c.valid, ParseObjectUrl(c.url, &location)) << c.url;
    if (!c.valid) continue;
    EXPECT_EQ(c.bucket, location.bucket);
    EXPECT_EQ(c.key, location.key);
  }
}

TEST(S3NamesTest, PathsAndQueriesAreSpelledAsTheServerSignsThem) {
  EXPECT_EQ("a%20b/c~d-e_f.g%2B%25%C3%A9", UriEncode("a b/c~d-e_f.g+%\xC3\xA9", true));
  EXPECT_EQ("a%2Fb", UriEncode("a/b", false));
  // Sorted by name, every parameter "name=value", even when empty.
  EXPECT_EQ("partNumber=3&uploadId=x%2By%3D",
            CanonicalQuery({{"uploadId", "x+y="}, {"partNumber", "3"}}));
  EXPECT_EQ("uploads=", CanonicalQuery({{"uploads", ""}}));

  Endpoint local;
  ASSERT_TRUE(MakeEndpoint("http://127.0.0.1:8080/", "us-east-1", &local));
  EXPECT_EQ("http://127.0.0.1:8080/bk1/sales%20x.1?uploads=",
            RequestUrl(local, "bk1", "sales x.1", {{"uploads", ""}}));
  EXPECT_EQ("http://127.0.0.1:8080/bk1", RequestUrl(local, "bk1", "", {}));
  Endpoint aws;
  ASSERT_TRUE(MakeEndpoint("", "eu-west-1", &aws));
  EXPECT_EQ("https://bk1.s3.eu-west-1.amazonaws.com/k.1",
            RequestUrl(aws, "bk1", "k.1", {}));
  // A dotted bucket would not match the certificate as a host name.
  EXPECT_EQ("https://s3.eu-west-1.amazonaws.com/a.b.c/k.1",
            RequestUrl(aws, "a.b.c", "k.1", {}));
  for (const char *bad : {"ftp://h", "127.0.0.1:9000", "http://", "http://h/x",
                          "http://u@h", "http://h?x"}) {
    EXPECT_FALSE(MakeEndpoint(bad, "us-east-1", &local)) << bad;
  }
}

TEST(S3ReplyTest, RepliesAreReadByElementWhateverTheirNamespace) {
  S3ErrorReply error;
  ASSERT_TRUE(ParseErrorReply(
      "<?xml version='1.0' encoding='UTF-8'?>\n<Error><Code>NoSuchBucket"
      "</Code><Message>The specified bucket does not exist &amp; more"
      "</Message><BucketName>x</BucketName></Error>",
      &error));
  EXPECT_EQ("NoSuchBucket", error.code);
  EXPECT_EQ("The specified bucket does not exist & more", error.message);
  EXPECT_FALSE(ParseErrorReply("", &error));
  EXPECT_FALSE(ParseErrorReply("<html>Bad Gateway</html>", &error));
  EXPECT_FALSE(ParseErrorReply("<Error><Code>x</Code>", &error));  // cut short

  std::string id;
  ASSERT_TRUE(ParseUploadId(
      "<InitiateMultipartUploadResult xmlns=\"http://s3.amazonaws.com/doc/"
      "2006-03-01/\"><Bucket>b</Bucket><Key>k</Key><UploadId>Mzk-1.x"
      "</UploadId></InitiateMultipartUploadResult>",
      &id));
  EXPECT_EQ("Mzk-1.x", id);
  EXPECT_FALSE(ParseUploadId("<InitiateMultipartUploadResult><UploadId/>"
                             "</InitiateMultipartUploadResult>", &id));
  EXPECT_FALSE(ParseUploadId("<Error><UploadId>x</UploadId></Error>", &id));

  EXPECT_TRUE(IsCompleteResult(
      "<?xml version=\"1.0\"?>\n\n  <CompleteMultipartUploadResult xmlns=\"x\">"
      "<ETag>\"e-2\"</ETag></CompleteMultipartUploadResult>"));
  EXPECT_FALSE(IsCompleteResult("<Error><Code>InternalError</Code></Error>"));

  // A list is read page by page: a page cut short must carry the token
  // of the next, and every object its key and size.
  S3ListPage page;
  ASSERT_TRUE(ParseListReply(
      "<ListBucketResult xmlns=\"x\"><Name>b</Name><IsTruncated>true"
      "</IsTruncated><Contents><Key>p/a &amp; b.1</Key><Size>4096</Size>"
      "</Contents><Contents><Key>p/a.2</Key><Size>0</Size></Contents>"
      "<NextContinuationToken>t/2=</NextContinuationToken></ListBucketResult>",
      &page));
  ASSERT_EQ(2u, page.objects.size());
  EXPECT_EQ("p/a & b.1", page.objects[0].key);
  EXPECT_EQ(4096u, page.objects[0].size);
  EXPECT_TRUE(page.truncated);
  EXPECT_EQ("t/2=", page.next_token);
  EXPECT_FALSE(ParseListReply("<ListBucketResult><IsTruncated>true"
                              "</IsTruncated></ListBucketResult>", &page));
  EXPECT_FALSE(ParseListReply("<ListBucketResult><Contents><Key>k</Key>"
                              "<Size>-1</Size></Contents></ListBucketResult>",
                              &page));

  EXPECT_EQ("<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>"
            "\"a&amp;b\"</ETag></Part><Part><PartNumber>2</PartNumber><ETag>"
            "\"c\"</ETag></Part></CompleteMultipartUpload>",
            CompleteUploadBody({"\"a&b\"", "\"c\""}));
}

TEST(S3FailureTest, FailuresCarryTheCodesTheCoreActsOn) {
  struct Case {
    long status;
    const char *s3_code;
    uint32_t code;
    bool retry;
  } cases[] = {
      {404, "NoSuchBucket", kErrorPathNotFound, false},
      {404, "NoSuchKey", kErrorFileNotFound, false},
      {404, "", kErrorFileNotFound, false},  // HEAD: no document
      {403, "SignatureDoesNotMatch", kErrorAccessDenied, false},
      {403, "InvalidAccessKeyId", kErrorAccessDenied, false},
      {403, "", kErrorAccessDenied, false},
      {403, "QuotaExceeded", kErrorDiskFull, false},
      {413, "EntityTooLarge", kErrorDiskFull, false},
      {507, "", kErrorDiskFull, false},
      {503, "SlowDown", kErrorIoDevice, true},
      {500, "", kErrorIoDevice, true},
      {400, "RequestTimeout", kErrorIoDevice, true},
      {400, "BadDigest", kErrorIoDevice, true},
      {400, "InvalidArgument", kErrorInvalidParameter, false},
      {301, "PermanentRedirect", kErrorInvalidParameter, false},
  };
  for (const Case &c : cases) {
    S3ErrorReply reply{c.s3_code, "why"};
    const S3Failure failure = FailureFromReply(c.status, reply);
    EXPECT_EQ(c.code, failure.code) << c.status << " " << c.s3_code;
    EXPECT_EQ(c.retry, failure.retry) << c.status << " " << c.s3_code;
  }
  const S3Failure denied =
      FailureFromReply(403, S3ErrorReply{"AccessDenied", "Access\r\nDenied"});
  EXPECT_EQ("object store: AccessDenied: Access  Denied (HTTP 403)",
            denied.text);
  EXPECT_EQ("AccessDenied: Access  Denied", denied.store_reason);
  EXPECT_EQ("", FailureFromReply(403, S3ErrorReply{}).store_reason);
  EXPECT_EQ(200u, FailureFromReply(500, S3ErrorReply{"", std::string(999, 'x')})
                      .text.size());
  const S3Failure down = FailureFromTransport(true, "Couldn't connect to server");
  EXPECT_EQ(kErrorNetwork, down.code);
  EXPECT_TRUE(down.retry);

  const uint32_t delays[] = {0, 250, 500, 1000, 2000, 4000, 8000, 8000};
  for (int retry = 0; retry < 8; ++retry)
    EXPECT_EQ(delays[retry], RetryDelayMs(retry)) << retry;
}

TEST(S3SettingsTest, KeysRegionEndpointAndRetriesComeFromTheEnvironment) {
  std::map<std::string, std::string> env;
  auto lookup = [&env](const char *name, std::string *value) {
    auto it = env.find(name);
    if (it == env.end()) return false;
    *value = it->second;
    return true;
  };
  S3Settings settings;
  std::string why;
  env["AWS_ACCESS_KEY_ID"] = "test:tester";
  EXPECT_EQ(kErrorAccessDenied, ReadS3Settings(lookup, &settings, &why));
  EXPECT_EQ(std::string::npos, why.find("test:tester"));
  env["AWS_SECRET_ACCESS_KEY"] = "s3cr3t";
  env["AWS_DEFAULT_REGION"] = "eu-north-1";
  ASSERT_EQ(0u, ReadS3Settings(lookup, &settings, &why)) << why;
  EXPECT_EQ("eu-north-1", settings.region);
  EXPECT_FALSE(settings.endpoint.path_style);
  EXPECT_EQ(5, settings.retries);
  env["AWS_REGION"] = "us-west-2";
  env["AWS_ENDPOINT_URL"] = "http://127.0.0.1:9000";
  env["KOR_S3_RETRIES"] = "0";
  ASSERT_EQ(0u, ReadS3Settings(lookup, &settings, &why)) << why;
  EXPECT_EQ("us-west-2", settings.region);
  EXPECT_TRUE(settings.endpoint.path_style);
  EXPECT_EQ(0, settings.retries);
  env["KOR_S3_RETRIES"] = "21";
  EXPECT_EQ(kErrorInvalidParameter, ReadS3Settings(lookup, &settings, &why));
  env["KOR_S3_RETRIES"] = "2";
  env["AWS_ENDPOINT_URL"] = "127.0.0.1:9000";
  EXPECT_EQ(kErrorInvalidParameter, ReadS3Settings(lookup, &settings, &why));
  EXPECT_EQ(std::string::npos, why.find("s3cr3t"));
  env["AWS_ENDPOINT_URL"] = "http://127.0.0.1:9000";
  ASSERT_EQ(0u, ReadS3Settings(lookup, &settings, &why)) << why;
  EXPECT_EQ(12u << 20, settings.part_bytes);
  EXPECT_EQ(1, settings.concurrency);
}

TEST(S3SettingsTest, PartSizeAndConcurrencyAreWholeNumbersWithinBounds) {
  struct Case {
    const char *part_size;  // MiB
    const char *concurrency;
    bool accepted;
  };
  const Case cases[] = {
      {"5", "1", true},    {"256", "16", true}, {"4", "2", false},
      {"257", "2", false}, {"8", "0", false},   {"8", "17", false},
      {"8M", "2", false},  {"8", "2x", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.part_size) + " " + c.concurrency);
    std::map<std::string, std::string> env = {
        {"AWS_ACCESS_KEY_ID", "k"}, {"AWS_SECRET_ACCESS_KEY", "s"},
        {"KOR_S3_PART_SIZE", c.part_size}, {"KOR_S3_CONCURRENCY", c.concurrency}};
    auto lookup = [&env](const char *name, std::string *value) {
      auto it = env.find(name);
      if (it == env.end()) return false;
      *value = it->second;
      return true;
    };
    S3Settings settings;
    std::string why;
    const uint32_t code = ReadS3Settings(lookup, &settings, &why);
    if (!c.accepted) {
      EXPECT_EQ(kErrorInvalidParameter, code);
      continue;
    }
    ASSERT_EQ(0u, code) << why;
    EXPECT_EQ(static_cast<size_t>(std::stoul(c.part_size)) << 20,
              settings.part_bytes);
    EXPECT_EQ(std::stoi(c.concurrency), settings.concurrency);
  }
}

// The waits between retries end as soon as the host cancels (on a stripe's
// thread, through the probe diag installs) or the object is abandoned (on
// its own threads): neither wait below may sleep its 8 seconds.
TEST(RetryWaitTest, WaitsEndAtOnceWhenTheHostCancelsOrTheObjectIsAbandoned) {
  const CancelProbe installed = SetCancelProbe([] { return true; });
  EXPECT_FALSE(CallerRetryWait()(8000));
  EXPECT_TRUE(CallerStopCheck()());
  SetCancelProbe([] { return false; });
  EXPECT_FALSE(CallerStopCheck()());
  SetCancelProbe(installed);

  std::mutex mu;
  std::condition_variable changed;
  std::atomic<bool> abandoned{true};
  EXPECT_FALSE(WorkerRetryWait(&mu, &changed, &abandoned)(8000));
  EXPECT_TRUE(WorkerStopCheck(&abandoned)());
}

TEST(PartSizeTest, PartsGrowEveryThousandSoTenThousandHoldFourHundredGB) {
  EXPECT_EQ(kPartBytes, PartSize(1));
  EXPECT_EQ(kPartBytes, PartSize(1000));
  EXPECT_EQ(2 * kPartBytes, PartSize(1001));
  EXPECT_EQ(10 * kPartBytes, PartSize(kMaxParts));
  uint64_t total = 0;
  for (int part = 1; part <= kMaxParts; ++part) total += PartSize(part);
  EXPECT_GT(total, 440ull * 1000 * 1000 * 1000);
  // Every part but the last must hold at least 5 MiB.
  EXPECT_GE(kPartBytes, 5u << 20);
}

}  // namespace
}  // namespace kor
