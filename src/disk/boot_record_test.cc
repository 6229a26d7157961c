#include "disk/boot_record.h"

#include <gtest/gtest.h>

#include <fstream>

#include "disk/boot_code.h"
#include "disk/device_path.h"
#include "testing/scratch_root.h"

namespace {

using BootRecordTest = ScratchRoot;

std::string boot_code() { return std::string(reinterpret_cast<const char*>(kBootCode), 184); }

TEST_F(BootRecordTest, BootCodeReplacesBytesUpToThePartitionEntries) {
  std::string old_disk;
  for (int i = 0; i < 2048; ++i) old_disk.push_back(char(i * 7 + 3));
  put(host("/dev/sda"), old_disk);
  ASSERT_TRUE(prepare_boot_record("/dev/sda"));
  std::string disk = get(host("/dev/sda"));
  ASSERT_EQ(disk.size(), old_disk.size());
  EXPECT_EQ(disk.substr(0, 184), boot_code());
  EXPECT_EQ(disk.substr(184, 262), std::string(262, '\0'));
  EXPECT_EQ(disk.substr(446), old_disk.substr(446));  // entries, signature, the rest
  // The code ends in its two messages; its last bytes are zero padding.
  EXPECT_NE(boot_code().find("Missing operating system"), std::string::npos);
  EXPECT_NE(boot_code().find("Error loading operating system"), std::string::npos);
}

TEST_F(BootRecordTest, FailuresAreReportedAndNothingIsWrittenOutsideTheRootsDev) {
  // A disk shorter than one sector is read but never written.
  put(host("/dev/hda"), std::string(100, 'x'));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(prepare_boot_record("/dev/hda"));
  EXPECT_FALSE(prepare_boot_record("/dev/missing"));
  unsigned char sector[512] = {};
  EXPECT_FALSE(write_boot_sector("/dev/missing", sector));
  // Paths that would leave the root's /dev are refused before anything is opened.
  put(host("/etc/disk"), std::string(1024, 'y'));
  EXPECT_FALSE(prepare_boot_record("/etc/disk"));
  EXPECT_FALSE(prepare_boot_record("/dev/../etc/disk"));
  EXPECT_FALSE(write_boot_sector("/dev/./../etc/disk", sector));
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors,
            "could not read MBR: Input/output error\n"
            "could not open MBR: No such file or directory\n"
            "could not open MBR: No such file or directory\n"
            "could not open MBR: Invalid argument\n"
            "could not open MBR: Invalid argument\n"
            "could not open MBR: Invalid argument\n");
  EXPECT_EQ(get(host("/dev/hda")), std::string(100, 'x'));
  EXPECT_FALSE(exists(host("/dev/missing")));
  EXPECT_EQ(get(host("/etc/disk")), std::string(1024, 'y'));

  EXPECT_TRUE(valid_device_path("/dev/sda"));
  EXPECT_TRUE(valid_device_path("/dev/cciss/c0d0"));
  for (const char* bad : {"/dev/", "/dev//sda", "/dev/sda/", "/dev/..", "sda", "/devsda"})
    EXPECT_FALSE(valid_device_path(bad)) << bad;
}

}  // namespace
