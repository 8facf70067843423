// A TLS failure reaching the store names AWS_CA_BUNDLE; other failures
// get no advice of this kind.
#include "cli/session/store_advice.h"

#include <gtest/gtest.h>

#include <string>

namespace kor {
namespace cli {
namespace {

TEST(StoreAdviceTest, ATlsFailureNamesTheCaBundle) {
  const std::string prefix =
      "cannot use s3://bk/v.1: object store not reached: ";
  struct Case {
    std::string detail;
    std::string ca_bundle;
    std::string expected;  // a part of the advice; "" for none
  } cases[] = {
      {"SSL connect error", "", "set AWS_CA_BUNDLE to"},
      {"SSL peer certificate or SSH remote key was not OK", "/etc/ca.pem",
       "with AWS_CA_BUNDLE=/etc/ca.pem: check that"},
      {"Couldn't connect to server", "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.detail);
    const std::string advice =
        StoreFailureAdvice(prefix + c.detail + " (korbr 6920)", c.ca_bundle);
    if (c.expected.empty()) {
      EXPECT_EQ("", advice);
    } else {
      EXPECT_NE(advice.find(c.expected), std::string::npos) << advice;
    }
  }
  // An answer from the store is no transport failure.
  EXPECT_EQ("", StoreFailureAdvice("object store: SSLThing: x (HTTP 400)", ""));
}

}  // namespace
}  // namespace cli
}  // namespace kor
