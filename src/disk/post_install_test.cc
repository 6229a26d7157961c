#include "disk/post_install.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "frontend/console.h"
#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"

namespace {

// The new system's programs are small recorders run by a static busybox inside /flash; each
// notes its name and arguments in /flash/record, and what the System was asked so far.
class PostInstallTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "running programs chrooted into the target needs root";
    if (access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "no static busybox";
    put(host("/dev/null"), "");
    put(host("/dev/tty9"), "");
    std::filesystem::create_directories(host("/flash/bin"));
    std::filesystem::copy_file("/bin/busybox", host("/flash/bin/sh"));
    for (const char* program : {"/bin/lodr", "/bin/bash", "/sbin/fsck"}) {
      put(host("/flash") + program, "#!/bin/sh\necho \"$0 $*\" >> /record\n");
      chmod((host("/flash") + program).c_str(), 0755);
    }
    system_.observer = [this](const std::string& call) {
      put(host("/flash/record"), get(host("/flash/record")) + call + "\n");
    };
  }
  FakeSystem system_;
};

TEST_F(PostInstallTest, LoaderThenRemountReadOnlyAndCheckOnOnePartition) {
  TargetDisk disk;
  disk.device = "/dev/sda";
  OutputCapture capture;
  post_install(system_, disk);
  EXPECT_EQ(capture.text(), "Checking disk integrity...\n");
  EXPECT_EQ(get(host("/flash/record")),
            "/bin/lodr lodr\n"
            "umount " + host("/flash/boot") + "\n"
            "mount " + host("/dev/hda1") + " " + host("/flash") + " ext3 33\n"
            "/sbin/fsck -d -v\n"
            "umount " + host("/flash") + "\n");
}

TEST_F(PostInstallTest, ScriptInsteadOfLoaderAndNoCheckOnTwoPartitions) {
  put(host("/flash/etc/rc.d/rc.postinstall"), "");
  TargetDisk disk;
  disk.device = "/dev/sda";
  disk.over_1023_cylinders = true;
  OutputCapture capture;
  post_install(system_, disk);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(get(host("/flash/record")),
            "/bin/bash -c /etc/rc.d/rc.postinstall\n"
            "umount " + host("/flash/boot") + "\n"
            "umount " + host("/flash") + "\n");

  // A remount that fails skips the check.
  put(host("/flash/record"), "");
  disk.over_1023_cylinders = false;
  system_.fail_once("mount", "", EBUSY);
  post_install(system_, disk);
  EXPECT_EQ(get(host("/flash/record")).find("fsck"), std::string::npos);
}

}  // namespace
