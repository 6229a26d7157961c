#include "disk/boot_record.h"

#include <gtest/gtest.h>

#include "disk/device_path.h"
#include "testing/scratch_root.h"

namespace {

// The bytes written on a real disk: real_disk_test.cc.
using BootRecordTest = ScratchRoot;

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
