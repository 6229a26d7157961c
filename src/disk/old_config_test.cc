// Keeping the configuration when there is nothing to keep or something goes wrong, on a
// scratch root with a FakeSystem (the mounts are recorded, not made). A store carried across
// real, reformatted disks: real_disk_test.cc.
#include "disk/old_config.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"

namespace fs = std::filesystem;

namespace {

class OldConfigTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "owners can only be kept by root";
    disk_.device = "/dev/sda";
  }
  FakeSystem system_;
  TargetDisk disk_;
};

TEST_F(OldConfigTest, NothingToKeepOrNoWayToReadIt) {
  // No store: nothing said.
  fs::create_directories(host("/flash/kest"));
  OutputCapture capture;
  EXPECT_EQ(snapshot_old_config(system_, disk_), nullptr);
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(system_.umounts.size(), 2u);

  // The old file system does not mount.
  for (int i = 0; i < 4; ++i) system_.fail_once("mount", "", EINVAL);
  EXPECT_EQ(snapshot_old_config(system_, disk_), nullptr);
  EXPECT_EQ(capture.take(), "WARNING: couldn't keep config - couldn't mount file system\n");

  // A file whose size is not what stat said (a kernel file here stands in for one that grows
  // while it is read) loses the whole snapshot.
  put(host("/flash/kest/store/a"), "a");
  put(host("/flash/kest/store/changing"), "");
  std::string result = in_mount_namespace(
      [&] {
        return mount("/proc/version", host("/flash/kest/store/changing").c_str(), nullptr,
                     MS_BIND, nullptr) == 0;
      },
      [&] {
        OutputCapture inner;
        FakeSystem system;
        bool none = snapshot_old_config(system, disk_) == nullptr;
        return std::string(none ? "none " : "snapshot ") + inner.text();
      });
  if (result == "SKIP") GTEST_SKIP() << "no mount namespace";
  EXPECT_EQ(result, "none Reading old configuration...\n"
                    "ERROR: couldn't keep config - probably not enough memory\n");
}

TEST_F(OldConfigTest, AFileThatCannotBeWrittenBackIsReported) {
  put(host("/flash/kest/store"), "");  // the store itself: one empty file
  OutputCapture capture;
  std::unique_ptr<Snapshot> snapshot = snapshot_old_config(system_, disk_);
  ASSERT_NE(snapshot, nullptr);
  fs::remove_all(host("/flash"));  // nowhere to create it
  capture.take();
  EXPECT_FALSE(restore_old_config(std::move(snapshot)));
  EXPECT_EQ(capture.take(),
            "Writing back old configuration...\n"
            "ERROR: couldn't write old configuration - proboably not enough space on the disk\n");
}

}  // namespace
