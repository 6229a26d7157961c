// The configuration store carried across in memory, on a scratch root with a FakeSystem (the
// mounts are recorded, not made). On real, reformatted disks: real_disk_test.cc.
#include "disk/old_config.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"
#include "testing/tree_util.h"
#include "testing/config_store.h"

namespace fs = std::filesystem;

namespace {

class OldConfigTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "owners can only be kept by root";
    disk_.device = "/dev/sda";
  }
  // What the new disk looks like when the configuration is written back.
  void reformat() {
    fs::remove_all(host("/flash"));
    fs::create_directories(host("/flash/kest"));
    fs::create_directories(host("/flash/rw"));
  }
  static std::vector<std::string> warnings(const std::string& console) {
    std::vector<std::string> lines;
    for (auto& line : console_lines(console))
      if (line.rfind("WARNING", 0) == 0) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  FakeSystem system_;
  TargetDisk disk_;
};

TEST_F(OldConfigTest, StoreComesBackWithContentsOwnersModesAndTimes) {
  build_test_store(host("/flash/kest/store"), StoreForm::kOnOldDisk);
  build_test_store(scratch_ + "/expected", StoreForm::kRestored);
  build_test_store(host("/flash/rw/store"), StoreForm::kRestored);  // older store: ignored
  OutputCapture capture;
  std::unique_ptr<Snapshot> snapshot = snapshot_old_config(system_, disk_);
  ASSERT_NE(snapshot, nullptr) << capture.text();
  std::string console = capture.take();
  EXPECT_EQ(console.rfind("Reading old configuration...", 0), 0u);
  EXPECT_EQ(warnings(console), test_store_warnings("/flash/kest/store"));
  EXPECT_EQ(console.find("ERROR"), std::string::npos);
  // Mounted without the boot partition, unmounted both afterwards.
  EXPECT_EQ(system_.calls,
            (std::vector<std::string>{"mount " + host("/dev/sda2") + " " + host("/flash") + " ext3 0",
                                      "umount " + host("/flash/boot"), "umount " + host("/flash")}));

  reformat();
  EXPECT_TRUE(restore_old_config(std::move(snapshot)));
  EXPECT_EQ(capture.take(), "Writing back old configuration...\n");
  EXPECT_EQ(fingerprint_diff(fingerprint(scratch_ + "/expected", true),
                             fingerprint(host("/flash/kest/store"), true)),
            "");
  struct stat st;
  ASSERT_EQ(stat(host("/flash/kest/store").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02775u);  // given with mkdir 0700, set afterwards
  EXPECT_FALSE(exists(host("/flash/rw/store")));
}

TEST_F(OldConfigTest, OlderStoreBehindALinkBecomesARealDirectory) {
  build_test_store(host("/flash/rw/real"), StoreForm::kRestored);
  build_test_store(scratch_ + "/expected", StoreForm::kRestored);
  fs::create_directories(host("/flash/kest"));
  ASSERT_EQ(symlink("/rw/real", host("/flash/rw/store").c_str()), 0);  // absolute in the old root
  OutputCapture capture;
  std::unique_ptr<Snapshot> snapshot = snapshot_old_config(system_, disk_);
  ASSERT_NE(snapshot, nullptr) << capture.text();
  reformat();
  EXPECT_TRUE(restore_old_config(std::move(snapshot)));
  struct stat st;
  ASSERT_EQ(lstat(host("/flash/rw/store").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(fingerprint_diff(fingerprint(scratch_ + "/expected", true),
                             fingerprint(host("/flash/rw/store"), true)),
            "");
}

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
