// Device strings per stripe: "{stripe}" substitution, one string or one per
// stripe, the refusals that protect stripes from writing over each other,
// and finding the devname a message names.
#include "cli/options/device_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

TEST(DeviceListTest, OneStringServesEveryStripe) {
  std::vector<std::string> out;
  std::string error;
  ASSERT_TRUE(ExpandDevices({"devname=/bk/s{stripe};dbtype=ZDBn;location="
                             "{stripe}"},
                            3, &out, &error))
      << error;
  EXPECT_EQ(
      out, (std::vector<std::string>{"devname=/bk/s0;dbtype=ZDBn;location=0",
                                     "devname=/bk/s1;dbtype=ZDBn;location=1",
                                     "devname=/bk/s2;dbtype=ZDBn;location=2"}));
  // Without --stripes: one stripe.
  ASSERT_TRUE(
      ExpandDevices({"devname=/bk/s{stripe};dbtype=ZDBn"}, 0, &out, &error));
  EXPECT_EQ(out, std::vector<std::string>{"devname=/bk/s0;dbtype=ZDBn"});
  EXPECT_EQ(ExpandStripe("{stripe}{stripe}{strip", 12), "1212{strip");
}

TEST(DeviceListTest, OneStringPerStripe) {
  std::vector<std::string> out;
  std::string error;
  ASSERT_TRUE(ExpandDevices({"devname=/a;dbtype=ZDBn",
                             "devname=/b{stripe};"
                             "dbtype=ZDBn"},
                            0, &out, &error));
  EXPECT_EQ(out, (std::vector<std::string>{"devname=/a;dbtype=ZDBn",
                                           "devname=/b1;dbtype=ZDBn"}));
  ASSERT_TRUE(ExpandDevices(
      {"devname=/a;dbtype=ZDBn", "devname=/b;dbtype=ZDBn"}, 2, &out, &error));
}

TEST(DeviceListTest, Refusals) {
  std::vector<std::string> out;
  std::string error;
  EXPECT_FALSE(ExpandDevices({}, 0, &out, &error));
  EXPECT_NE(error.find("--device is required"), std::string::npos);
  EXPECT_FALSE(ExpandDevices({"devname=/a;dbtype=ZDBn"}, 2, &out, &error));
  EXPECT_NE(error.find("{stripe}"), std::string::npos) << error;
  EXPECT_FALSE(ExpandDevices({"devname=/a", "devname=/b"}, 3, &out, &error));
  EXPECT_NE(error.find("disagrees"), std::string::npos) << error;
  EXPECT_FALSE(ExpandDevices({"devname=/a", "devname=/a"}, 0, &out, &error));
  EXPECT_NE(error.find("stripe 1 has the same device string"),
            std::string::npos)
      << error;
  EXPECT_FALSE(ExpandDevices(std::vector<std::string>(33, "x{stripe}"), 0, &out,
                             &error));
  EXPECT_NE(error.find("at most 32"), std::string::npos) << error;
}

TEST(DeviceListTest, DevnameIsFoundLikeTheLibraryReadsIt) {
  EXPECT_EQ(DevnameOf("devname=/bk/s0;dbtype=ZDBn"), "/bk/s0");
  EXPECT_EQ(DevnameOf("dbtype=ZDBn;DevName=rel/s1"), "rel/s1");
  EXPECT_EQ(DevnameOf("devname=/a;devname=/b;x=1"), "/b");  // the last wins
  EXPECT_EQ(DevnameOf("dbtype=ZDBn;location=a=b"), "");
  EXPECT_EQ(DevnameOf("devname=\\\\.\\TAPE0"), "\\\\.\\TAPE0");
}

}  // namespace
}  // namespace cli
}  // namespace kor
