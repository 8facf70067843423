// Tests of `korbr vtape` as a shell user meets it.
//
// Strategy: the command runs in-process with its output and error streams
// captured, on drives in a fresh temporary directory.  Checked are the exit
// codes (0 done, 1 failed, 2 usage), that every failure is one line on the
// error stream, what the commands leave in the drive's state, and what
// `dump` makes of a cartridge image built here record by record with
// volume labels at the front of blocks.
#include "cli/vtape/vtape_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "label/label_format.h"
#include "os/tape/simh_image.h"
#include "os/tape/virtual_tape.h"

namespace kor {
namespace {

class VtapeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korbr_vtape_cmd_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    drive_ = dir_ + "/TAPE0";
  }
  void TearDown() override {
    unsetenv("KOR_DEVICE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs `korbr vtape WORDS...`; the exit code, with out_ and err_ set.
  int Run(std::vector<std::string> words) {
    words.insert(words.begin(), "vtape");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    std::ostringstream out, err;
    const int code =
        RunVtapeCommand(static_cast<int>(argv.size()), argv.data(), out, err);
    out_ = out.str();
    err_ = err.str();
    return code;
  }
  bool OneErrorLine() const {
    return !err_.empty() && err_.find('\n') == err_.size() - 1;
  }
  VirtualDriveState State() {
    VirtualDriveState state;
    std::string why;
    EXPECT_TRUE(ReadVirtualDrive(drive_, &state, &why)) << why;
    return state;
  }

  std::string dir_, drive_, out_, err_;
};

TEST_F(VtapeCommandTest, UsageMistakesExitWithTwoAndOneLine) {
  const std::vector<std::vector<std::string>> mistakes = {
      {"spin", drive_},
      {"create", drive_, "--capacity", "1M"},
      {"create", drive_, "--cartridges", "2"},
      {"create", drive_, "--cartridges", "0", "--capacity", "1M"},
      {"create", drive_, "--cartridges", "2", "--capacity", "1Q"},
      {"create", drive_, "--cartridges", "2", "--capacity", "1M", "--color"},
      {"create", drive_, "--cartridges", "2", "--capacity", "1M", "--min-block",
       "8K", "--max-block", "4K"},
      {"create", drive_, "--cartridges"},
      {"load", drive_},
      {"load", drive_, "two"},
      {"protect", drive_, "1", "maybe"},
      {"dump", drive_},
      {"status"},
  };
  for (const auto &words : mistakes) {
    EXPECT_EQ(2, Run(words)) << words[0];
    EXPECT_TRUE(OneErrorLine()) << err_;
    EXPECT_TRUE(out_.empty());
  }
  EXPECT_FALSE(IsVirtualDrive(drive_));
  EXPECT_EQ(2, Run({}));
}

TEST_F(VtapeCommandTest, EveryCommandHasHelp) {
  for (const char *command :
       {"create", "status", "load", "unload", "protect", "dump"}) {
    EXPECT_EQ(0, Run({command, "--help"})) << command;
    EXPECT_EQ(0u, out_.find(std::string("Usage: korbr vtape ") + command))
        << out_;
    EXPECT_TRUE(err_.empty());
  }
  EXPECT_EQ(0, Run({"--help"}));
  EXPECT_NE(std::string::npos, out_.find("korbr vtape dump DRIVE N"));
}

TEST_F(VtapeCommandTest, CommandsChangeTheDriveAsTheySay) {
  ASSERT_EQ(0, Run({"create", drive_, "--cartridges", "3", "--capacity", "2M",
                    "--stacker", "--min-block", "512", "--max-block=64K"}))
      << err_;
  VirtualDriveState s = State();
  EXPECT_EQ(3u, s.cartridges);
  EXPECT_EQ(2u << 20, s.capacity);
  EXPECT_TRUE(s.stacker);
  EXPECT_EQ(512u, s.min_block);
  EXPECT_EQ(65536u, s.max_block);
  EXPECT_EQ(0u, s.loaded);

  EXPECT_EQ(0, Run({"load", drive_, "2"}));
  EXPECT_EQ(2u, State().loaded);
  EXPECT_EQ(0, Run({"protect", drive_, "3", "on"}));
  EXPECT_EQ(std::vector<uint32_t>({3}), State().protected_list);
  EXPECT_EQ(0, Run({"status", drive_}));
  EXPECT_NE(std::string::npos, out_.find("mode: stacker\n")) << out_;
  EXPECT_NE(std::string::npos, out_.find("loaded: 2\n")) << out_;
  EXPECT_NE(std::string::npos,
            out_.find("cartridge 2: 0 bytes used, writable, in the drive\n"));
  EXPECT_NE(std::string::npos,
            out_.find("cartridge 3: 0 bytes used, write-protected\n"));
  EXPECT_EQ(0, Run({"protect", drive_, "3", "off"}));
  EXPECT_TRUE(State().protected_list.empty());
  // An unload from the shell empties even a stacker.
  EXPECT_EQ(0, Run({"unload", drive_}));
  EXPECT_EQ(0u, State().loaded);

  // Failures: one line, exit code 1, nothing changed.
  const uint64_t generation = State().generation;
  EXPECT_EQ(1, Run({"unload", drive_}));
  EXPECT_TRUE(OneErrorLine()) << err_;
  EXPECT_EQ(1, Run({"load", drive_, "4"}));
  EXPECT_NE(std::string::npos, err_.find("no cartridge 4")) << err_;
  EXPECT_EQ(1,
            Run({"create", drive_, "--cartridges", "1", "--capacity", "1M"}));
  EXPECT_TRUE(OneErrorLine()) << err_;
  EXPECT_EQ(1, Run({"status", dir_ + "/nothing"}));
  EXPECT_TRUE(OneErrorLine()) << err_;
  EXPECT_EQ(generation, State().generation);
}

TEST_F(VtapeCommandTest, DrivesAreNamedAsDeviceStringsNameThem) {
  setenv("KOR_DEVICE_DIR", dir_.c_str(), 1);
  ASSERT_EQ(0, Run({"create", "\\\\.\\TAPE0", "--cartridges", "1", "--capacity",
                    "1M"}))
      << err_;
  EXPECT_TRUE(IsVirtualDrive(drive_));
  EXPECT_EQ(0, Run({"load", "\\\\.\\TAPE0", "1"})) << err_;
  EXPECT_EQ(1u, State().loaded);
  EXPECT_EQ(1, Run({"status", "\\\\.\\TAPE7"}));
  EXPECT_TRUE(OneErrorLine()) << err_;
  EXPECT_EQ(
      1, Run({"create", "\\\\.\\..", "--cartridges", "1", "--capacity", "1M"}));
}

// Sizes read as every other korbr command reads them: "64MiB" is as good
// as "--request-size 64KiB" is to a backup.
TEST_F(VtapeCommandTest, SizesTakeTheSuffixesOfEveryCommand) {
  ASSERT_EQ(0, Run({"create", drive_, "--cartridges", "1", "--capacity",
                    "64MiB", "--max-block", "64KiB"}))
      << err_;
  EXPECT_EQ(64u << 20, State().capacity);
  EXPECT_EQ(64u << 10, State().max_block);
}

TEST_F(VtapeCommandTest, DumpListsRecordsMarksAndLabels) {
  ASSERT_EQ(0,
            Run({"create", drive_, "--cartridges", "2", "--capacity", "1M"}));
  // A volume as a backup leaves it: labels at the front of 1024-byte
  // blocks, data, the end-of-volume pair, two marks.
  std::vector<uint8_t> image, block(1024, 0);
  auto add = [&](const char *front, size_t size) {
    std::fill(block.begin(), block.end(), 0);
    std::memcpy(block.data(), front, size);
    simh::AppendRecord(&image, block.data(), 1024);
  };
  char area[kTrailerSize];
  add(BuildVol1Label(area, 3, 12), kLabelSize);
  add(BuildHdr1Label(area), kHdr1Size);
  add(BuildHdr2Label(area), kLabelSize);
  std::vector<uint8_t> data(777, 'x');
  simh::AppendRecord(&image, data.data(), 777);
  add(BuildEovRecord(area), kTrailerSize);
  simh::AppendTapeMark(&image);
  simh::AppendTapeMark(&image);
  std::ofstream(CartridgePath(drive_, 2), std::ios::binary)
      .write(reinterpret_cast<const char *>(image.data()),
             static_cast<std::streamsize>(image.size()));

  ASSERT_EQ(0, Run({"dump", drive_, "2"})) << err_;
  const std::string expect =
      "cartridge 2 of " + drive_ + ": " + std::to_string(image.size()) +
      " bytes\n"
      "record 1: 1024 bytes  VOL1 serial 030012: stripe 3, volume 12\n"
      "record 2: 1024 bytes  HDR1\n"
      "record 3: 1024 bytes  HDR2\n"
      "record 4: 777 bytes\n"
      "record 5: 1024 bytes  EOV1 EOV2\n"
      "tape mark\n"
      "tape mark\n"
      "end of data: 5 records, 2 tape marks\n";
  EXPECT_EQ(expect, out_);

  // A damaged image: what comes before the damage, then one error line.
  image.resize(image.size() - 10);
  std::ofstream(CartridgePath(drive_, 1), std::ios::binary)
      .write(reinterpret_cast<const char *>(image.data()),
             static_cast<std::streamsize>(image.size()));
  EXPECT_EQ(1, Run({"dump", drive_, "1"}));
  EXPECT_NE(std::string::npos, out_.find("record 4: 777 bytes\n")) << out_;
  EXPECT_EQ(std::string::npos, out_.find("end of data")) << out_;
  EXPECT_TRUE(OneErrorLine()) << err_;
  EXPECT_EQ(1, Run({"dump", drive_, "3"}));
  EXPECT_TRUE(OneErrorLine()) << err_;
}

}  // namespace
}  // namespace kor
