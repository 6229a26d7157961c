// prepare_disk with scripted tools and a FakeSystem: every way it stops, on a disk of 1024
// cylinders of 255 heads and 63 sectors (B = 2; the old dump lists four entries, so two
// "0,0,0" lines follow the partitions). The whole run on real disks: real_disk_test.cc.
#include "disk/prepare_disk.h"

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "frontend/console.h"
#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"

namespace {

const char kOldTable[] =
    "# partition table of /dev/hda\nunit: sectors\n\n"
    "/dev/hda1 : start=        63, size=    999999, Id=83, bootable\n"
    "/dev/hda2 : start=   1000062, size=      8000, Id=82\n"
    "/dev/hda3 : start=         0, size=         0, Id= 0\n"
    "/dev/hda4 : start=         0, size=         0, Id= 0\n";
const char kNewTable[] =
    "/dev/hda1 : start=        63, size=     32067, Id=83, bootable\n"
    "/dev/hda2 : start=     32130, size=  16418430, Id=83\n"
    "/dev/hda3 : start=         0, size=         0, Id= 0\n"
    "/dev/hda4 : start=         0, size=         0, Id= 0\n";

class PrepareDiskTest : public ScratchRoot {
 public:
  using ScratchRoot::host;
  using ScratchRoot::put;

  void SetUp() override {
    ScratchRoot::SetUp();
    signal(SIGPIPE, SIG_IGN);  // as the installer: a tool that stops reading fails a write
    reset();
  }
  void TearDown() override {
    signal(SIGPIPE, SIG_DFL);
    ScratchRoot::TearDown();
  }
  // Working tools, the old table before and the new one after partitioning, an empty log.
  void reset() {
    mkdir(host("/flash").c_str(), 0755);
    put(host("/dev/null"), "");
    put(host("/dev/tty9"), "");
    // sfdisk -d prints /dump; sfdisk -q logs its script, then /dump becomes /dump.after.
    tool("/sbin/sfdisk", "echo \"sfdisk $*\" >> LOG\n"
                         "case \"$1\" in -d) cat ROOT/dump ;;\n"
                         "-q) cat >> LOG; cp ROOT/dump.after ROOT/dump; exit $(cat ROOT/status) ;;\n"
                         "esac\n");
    tool("/sbin/mke2fs", "echo \"mke2fs $*\" >> LOG\nexit $(cat ROOT/mke2fs.status)\n");
    put(host("/status"), "0");
    put(host("/mke2fs.status"), "0");
    put(host("/dump"), kOldTable);
    put(host("/dump.after"), kNewTable);
    put(scratch_ + "/log", "");
    system_ = FakeSystem();
  }
  void tool(const std::string& path, std::string body) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"LOG", scratch_ + "/log"},
                            {"ROOT", root_}}) {
      for (size_t at; (at = body.find(from)) != std::string::npos;) body.replace(at, from.size(), to);
    }
    put(host(path), "#!/bin/sh\n" + body);
    chmod(host(path).c_str(), 0755);
  }
  std::string log() { return get(scratch_ + "/log"); }

  FakeSystem system_;
};

// A disk of 1024 cylinders of 255 heads and 63 sectors.
TargetDisk large_disk() {
  TargetDisk disk;
  disk.device = "/dev/hda";
  disk.cylinders = 1024;
  disk.cylinder_size = 8225280;
  disk.over_1023_cylinders = disk.over_40_mib = true;
  return disk;
}

TEST_F(PrepareDiskTest, EveryStepThatFailsStopsWithItsMessage) {
  struct Case {
    const char* name;
    void (*arrange)(PrepareDiskTest&, TargetDisk&);
    std::string console;
    std::string tool_calls;  // the first word of every line in the log
  };
  const std::string partitions_error =
      "Creating partition...\nERROR: could not create partitions\n";
  const Case cases[] = {
      {"tool refuses the script", [](PrepareDiskTest& t, TargetDisk&) { t.put(t.host("/status"), "1"); },
       partitions_error, "sfdisk sfdisk 0,2,83,* 2,1022,83,- 0,0,0 0,0,0 "},
      {"kernel keeps the old table", [](PrepareDiskTest& t, TargetDisk&) {
         t.put(t.host("/dump.after"), kOldTable);
       }, partitions_error, "sfdisk sfdisk 0,2,83,* 2,1022,83,- 0,0,0 0,0,0 sfdisk "},
      {"a logical partition is left", [](PrepareDiskTest& t, TargetDisk&) {
         t.put(t.host("/dump.after"),
               std::string(kNewTable) + "/dev/hda5 : start=   1000125, size=   1000, Id=83\n");
       }, partitions_error, "sfdisk sfdisk 0,2,83,* 2,1022,83,- 0,0,0 0,0,0 sfdisk "},
      {"no partitioning tool", [](PrepareDiskTest& t, TargetDisk&) {
         unlink(t.host("/sbin/sfdisk").c_str());
       }, partitions_error, ""},
      {"formatting fails", [](PrepareDiskTest& t, TargetDisk&) {
         t.put(t.host("/mke2fs.status"), "1");
       }, "Creating partition...\nFormatting disk...\nERROR: could not format partitions\n",
       "sfdisk sfdisk 0,2,83,* 2,1022,83,- 0,0,0 0,0,0 sfdisk mke2fs "},
      {"nothing mounts", [](PrepareDiskTest& t, TargetDisk&) {
         for (int i = 0; i < 4; ++i) t.system_.fail_once("mount", "", EINVAL);
       }, "Creating partition...\nFormatting disk...\nERROR: could not mount filesystem\n",
       "sfdisk sfdisk 0,2,83,* 2,1022,83,- 0,0,0 0,0,0 sfdisk mke2fs mke2fs "},
      {"boot partition too large for the disk", [](PrepareDiskTest&, TargetDisk& disk) {
         disk.cylinders = 1024;
         disk.cylinder_size = 8192;  // B = 1280
       }, "ERROR: could not create partitions - a boot partition of 1280 cylinders leaves no "
          "room on a disk of 1024 cylinders\n", ""},
      {"smaller than one cylinder", [](PrepareDiskTest&, TargetDisk& disk) {
         disk.cylinders = 0;
         disk.over_1023_cylinders = false;
       }, "ERROR: could not create partitions - the disk is smaller than one cylinder\n", ""},
      {"not a device", [](PrepareDiskTest&, TargetDisk& disk) { disk.device = "/dev/../hda"; },
       "ERROR: could not create partitions\n", ""},
      {"a name that is not one word in fstab", [](PrepareDiskTest&, TargetDisk& disk) {
         disk.device = "/dev/hd a";
       }, "ERROR: could not create partitions\n", ""},
      // 364729 cylinders of 16065 sectors; 267349 of them lie within 2^32 sectors.
      {"over 2 TiB", [](PrepareDiskTest& t, TargetDisk& disk) {
         disk.cylinders = 364729;
         t.put(t.host("/dump.after"),
               "/dev/hda1 : start=        63, size=     32067, Id=83, bootable\n"
               "/dev/hda2 : start=     32130, size=4294929555, Id=83\n");
         t.put(t.host("/mke2fs.status"), "1");
       }, "NOTE: only the first 2 TiB of the disk are used\nCreating partition...\n"
          "Formatting disk...\nERROR: could not format partitions\n",
       "sfdisk sfdisk 0,2,83,* 2,267347,83,- 0,0,0 0,0,0 sfdisk mke2fs "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    TargetDisk disk = large_disk();
    c.arrange(*this, disk);
    OutputCapture capture;
    // What is refused before any tool runs is refused by the check alone, in the same words.
    bool refused_early = c.console.find("Creating partition...") == std::string::npos;
    EXPECT_EQ(disk_can_be_prepared(disk), !refused_early);
    EXPECT_EQ(capture.take(), refused_early ? c.console : "");
    EXPECT_FALSE(prepare_disk(system_, disk, false));
    EXPECT_EQ(capture.text(), c.console);
    std::string words;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) words += line.substr(0, line.find(' ')) + " ";
    EXPECT_EQ(words, c.tool_calls);
  }
}

}  // namespace
