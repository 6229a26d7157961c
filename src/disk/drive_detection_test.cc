#include "disk/drive_detection.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>

#include "frontend/console.h"
#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"

namespace {

class DriveDetectionTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    put(host("/dev/null"), "");
    put(host("/dev/tty9"), "");
    // The listing comes from a file; every run is counted.
    put(host("/sbin/sfdisk"),
        "#!/bin/sh\necho \"$*\" >> " + host("/runs") + "\ncat " + host("/listing") + "\n");
    chmod(host("/sbin/sfdisk").c_str(), 0755);
  }
  int runs() {
    std::string text = get(host("/runs"));
    return int(std::count(text.begin(), text.end(), '\n'));
  }
  FakeSystem system_;
};

std::string describe(const TargetDisk& d) {
  return d.device + " " + std::to_string(d.cylinders) + " " + std::to_string(d.cylinder_size) +
         (d.over_1023_cylinders ? " big" : "") + (d.over_40_mib ? " journal" : "");
}

TEST_F(DriveDetectionTest, ListingLinesBecomeDiskRecords) {
  std::string long_name = "/dev/" + std::string(27, 'x');  // 32 characters: one too many
  put(host("/listing"),
      "garbage line\n"
      "/dev/sdc: 1024 cylinders, 16 heads, 63 sectors/track\n"
      "/dev/hdb: 1023 cylinders, 16 heads, 63 sectors/track\n"
      "/dev/hde: 160 cylinders, 16 heads, 32 sectors/track\n" +  // exactly 40 MiB
      long_name + ": 5 cylinders, 255 heads, 63 sectors/track\n" +
      "/dev/sdz: 5 cylinders, 255 heads\n"                         // a value missing
      "/dev/sdq: 500 cylinders, 255 heads, 63 sectors/track\n"
      "/dev/sdr: 600 cylinders, 255 heads, 63 sectors/track\n");  // a fifth disk
  const TargetDisk* table = scan_drives(system_);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(describe(table[0]), "/dev/sdc 1024 516096 big journal");
  EXPECT_EQ(describe(table[1]), "/dev/hdb 1023 516096 journal");
  EXPECT_EQ(describe(table[2]), "/dev/hde 160 262144");
  EXPECT_EQ(describe(table[3]), "/dev/sdq 500 8225280 journal");
  EXPECT_EQ(get(host("/runs")), "-g\n");

  // A path of 31 characters still fits, and a later scan starts afresh.
  put(host("/listing"), "/dev/" + std::string(26, 'y') + ": 3 cylinders, 1 heads, 1 sectors\n");
  table = scan_drives(system_);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[0].device.size(), 31u);
  EXPECT_EQ(table[1].device, "");

  EXPECT_EQ(port_label("/dev/hde"), "/dev/hde");
}

TEST_F(DriveDetectionTest, FirstListedDiskIsAnnouncedAndTheTargetUnmounted) {
  put(host("/listing"), "/dev/sdc: 5 cylinders, 255 heads, 63 sectors/track\n"
                        "/dev/hda: 9000 cylinders, 255 heads, 63 sectors/track\n");
  TargetDisk disk;
  OutputCapture capture;
  ASSERT_TRUE(detect_target_disk(system_, disk));
  EXPECT_EQ(describe(disk), "/dev/sdc 5 8225280");
  EXPECT_EQ(capture.text(), "\nLooking for harddrives...\n\nFound harddrive as SATA 3\n");
  EXPECT_EQ(system_.calls, (std::vector<std::string>{"umount " + host("/flash/boot"),
                                                     "umount " + host("/flash")}));
}

TEST_F(DriveDetectionTest, NoDiskAfterTwentyAttempts) {
  put(host("/listing"), "/dev/sda1 is not a listing line\n");
  TargetDisk disk;
  OutputCapture capture;
  system_.fail_once("sleep", "", EINTR);  // cut short by the dots: the rest is slept out
  EXPECT_FALSE(detect_target_disk(system_, disk));
  EXPECT_EQ(capture.text(),
            "\nLooking for harddrives...\n\nFATAL ERROR: no harddrives found\n");
  EXPECT_EQ(runs(), 20);
  EXPECT_EQ(system_.slept, 20u);
  EXPECT_EQ(disk.device, "");

  // A tool that cannot be started counts as an attempt that found nothing.
  unlink(host("/sbin/sfdisk").c_str());
  EXPECT_EQ(scan_drives(system_), nullptr);
}

}  // namespace
