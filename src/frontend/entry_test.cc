#include "frontend/entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/target_disk.h"
#include "frontend/console.h"
#include "frontend/flow_table.h"
#include "system/output.h"
#include "testing/fake_system.h"
#include "testing/scratch_root.h"
#include "testing/stdin_text.h"

namespace {

const char kEnd[] = "\033[?25h\nRebooting...";
const char kInternal[] = "FATAL ERROR: internal error\n";
const char kPrompt[] = "Press ENTER to reboot";

// Runs the entry routine in a scratch tree with the fake system, a virtual console (a plain
// file at /dev/tty0) unless a test removes it, and the given keys on standard input.
class EntryTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    for (int s : {SIGINT, SIGPIPE, SIGCHLD, SIGALRM}) sigaction(s, nullptr, &saved_[s]);
    put(host("/dev/tty0"), "");
    make_dir(host("/proc"));
  }
  void TearDown() override {
    for (int s : {SIGINT, SIGPIPE, SIGCHLD, SIGALRM}) sigaction(s, &saved_[s], nullptr);
    if (lcd_fd >= 0) close(lcd_fd);
    lcd_fd = -1;
    set_abort_system(nullptr);
    abort_disabled = 0;
    terminal_state = TerminalState{};
    ScratchRoot::TearDown();
  }

  int run(std::vector<std::string> args, const std::string& keys = "\n", bool capture = true) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    StdinFromText input(keys);
    int result;
    if (capture) {
      OutputCapture output;
      capture_ = &output;
      result = entry(system_, int(args.size()), argv.data(), flows_);
      capture_ = nullptr;
      output_ = output.text();
    } else {
      int saved[3] = {dup(0), dup(1), dup(2)};
      result = entry(system_, int(args.size()), argv.data(), flows_);
      out_flush();
      for (int fd = 0; fd < 3; ++fd) {
        dup2(saved[fd], fd);
        close(saved[fd]);
      }
    }
    keys_left_ = input.rest();
    return result;
  }

  // A flow that records its name and the disk record it was given, and returns result.
  FlowFunction flow(const std::string& name, bool result, const char* says = nullptr) {
    return [=, this](System& system, TargetDisk& disk) {
      EXPECT_EQ(&system, &system_);
      ran_.push_back(name);
      disks_.push_back(disk);
      if (says) out_text(says);
      return result;
    };
  }

  void type_file(const std::string& content) { put(host("/TYPE"), content); }
  bool prompted() const { return output_.find(kPrompt) != std::string::npos; }

  FakeSystem system_;
  FlowTable flows_;
  std::vector<std::string> ran_;
  std::vector<TargetDisk> disks_;
  std::string output_, keys_left_;
  OutputCapture* capture_ = nullptr;
  struct sigaction saved_[NSIG] = {};
};

TEST_F(EntryTest, InitParentOnlyWaitsAndReturnsTheRawStatus) {
  system_.fork_result = 42;
  system_.wait_results = {{-1, EINTR}, {42, 0x0100}};
  EXPECT_EQ(run({"/sbin/init"}), 0x0100);
  EXPECT_EQ(system_.calls, (std::vector<std::string>{"fork", "waitpid 42", "waitpid 42"}));
  EXPECT_EQ(output_, "");
  EXPECT_FALSE(exists(host("/flash")));

  system_ = FakeSystem();
  system_.fork_result = 42;
  system_.wait_results = {{-1, ECHILD}};
  EXPECT_EQ(run({"/init"}), -1);
}

TEST_F(EntryTest, WorkerRunsInTheChildWithoutInitAndWhenForkFails) {
  // The child of the split.
  system_.fork_result = 0;
  run({"xinitx"});
  ASSERT_GE(system_.calls.size(), 2u);
  EXPECT_EQ(system_.calls[0], "fork");
  EXPECT_EQ(system_.calls[1], "mount proc " + host("/proc") + " proc 0");
  EXPECT_TRUE(system_.reboot_command.has_value());

  // No "init" in argv[0]: no split at all.
  system_ = FakeSystem();
  run({"/sbin/installer"});
  EXPECT_EQ(system_.calls[0], "mount proc " + host("/proc") + " proc 0");
  EXPECT_TRUE(system_.reboot_command.has_value());

  // The fork fails: the process itself is the worker.
  system_ = FakeSystem();
  system_.fail_once("fork", "", EAGAIN);
  EXPECT_EQ(run({"init"}), 0);
  EXPECT_EQ(system_.calls[0], "fork -> fail");
  EXPECT_EQ(system_.calls[1], "mount proc " + host("/proc") + " proc 0");
  EXPECT_TRUE(system_.reboot_command.has_value());
}

TEST_F(EntryTest, PreparesTheEnvironmentBeforeTheFlow) {
  put(host("/lib/modules/" + system_.release + "/drivers/net/atl1c.ko"), "atl1c");
  system_.fail_once("mount", host("/proc"), ENOENT);  // ignored
  struct sigaction interrupt = {}, pipe = {}, child = {};
  std::vector<std::string> calls_at_flow;
  std::string tool_path_at_flow;
  int abort_at_flow = -1;
  flows_.hard_disk = [&](System&, TargetDisk& disk) {
    calls_at_flow = system_.calls;
    tool_path_at_flow = tool_output_path;
    abort_at_flow = abort_disabled;
    sigaction(SIGINT, nullptr, &interrupt);
    sigaction(SIGPIPE, nullptr, &pipe);
    sigaction(SIGCHLD, nullptr, &child);
    disks_.push_back(disk);
    return true;
  };
  run({"installer", "-hdd-install"});

  EXPECT_EQ(calls_at_flow,
            (std::vector<std::string>{
                "mount proc " + host("/proc") + " proc 0 -> fail",
                "mount sysfs " + host("/sys") + " sysfs 0",
                "init_module atl1c ",
            }));
  for (const char* dir : {"/sys", "/flash", "/ram"}) EXPECT_TRUE(exists(host(dir))) << dir;
  EXPECT_EQ(tool_path_at_flow, "/dev/tty9");
  EXPECT_EQ(abort_at_flow, 0);
  EXPECT_EQ(interrupt.sa_handler, &on_abort_signal);
  EXPECT_EQ(interrupt.sa_flags & (SA_RESTART | SA_SIGINFO | SA_NODEFER | SA_RESETHAND), 0);
  EXPECT_EQ(pipe.sa_handler, SIG_IGN);
  EXPECT_EQ(child.sa_handler, SIG_DFL);
  EXPECT_TRUE(child.sa_flags & SA_RESTART);
  ASSERT_EQ(disks_.size(), 1u);
  EXPECT_EQ(disks_[0].device, "");
  EXPECT_EQ(disks_[0].cylinders, 0u);
  EXPECT_FALSE(disks_[0].over_1023_cylinders);
  EXPECT_FALSE(disks_[0].over_40_mib);
}

TEST_F(EntryTest, HardDiskArgumentWinsOverTheModeFile) {
  flows_.hard_disk = flow("hard-disk", true, "Software installed.\n");
  flows_.cdrom = flow("cdrom", true);
  flows_.net = flow("net", true);
  flows_.detect_target_disk = flow("detect", true);
  type_file("cdrom\n");
  EXPECT_EQ(run({"installer", "--verbose", "-hdd-install", "x"}), 0);
  EXPECT_EQ(ran_, std::vector<std::string>{"hard-disk"});
  // Success: straight to the reboot, no prompt, no key read.
  EXPECT_EQ(output_, std::string("Software installed.\n") + kEnd);
  EXPECT_EQ(keys_left_, "\n");

  ran_.clear();
  type_file("net\n");
  run({"installer", "-HDD-INSTALL"});
  EXPECT_EQ(ran_, std::vector<std::string>{"net"});
}

TEST_F(EntryTest, FailedHardDiskOrNetFlowPromptsBeforeReboot) {
  flows_.hard_disk = flow("hard-disk", false, "\nFATAL ERROR: no CD-ROM found\n");
  run({"installer", "-hdd-install"}, "ab\nrest");
  EXPECT_EQ(output_, std::string("\nFATAL ERROR: no CD-ROM found\n") + kPrompt + "\a\a" + kEnd);
  EXPECT_EQ(keys_left_, "rest");

  flows_.net = flow("net", false);
  type_file("net\nsecond line\n");
  run({"installer"});
  EXPECT_EQ(ran_, (std::vector<std::string>{"hard-disk", "net"}));
  EXPECT_EQ(output_, std::string(kPrompt) + kEnd);

  flows_.net = flow("net", true);
  run({"installer"});
  EXPECT_EQ(output_, kEnd);
}

TEST_F(EntryTest, CdromLoadsDriversDetectsAndAlwaysPrompts) {
  std::string dir = "/lib/modules/" + system_.release + "/";
  put(host(dir + "drivers/net/atl1c.ko"), "atl1c");
  put(host(dir + "kernel/drivers/usb/core/usbcore.ko"), "usbcore");
  put(host(dir + "kernel/fs/ext2/ext2.ko"), "ext2");
  int raw_at_detection = -1;
  std::vector<std::string> modules_at_detection;
  flows_.detect_target_disk = [&](System&, TargetDisk&) {
    raw_at_detection = terminal_state.raw;
    modules_at_detection = system_.modules;
    ran_.push_back("detect");
    return true;
  };
  flows_.cdrom = flow("cdrom", true, "Software installed.\n");
  type_file("cdrom\n");
  run({"installer"});
  EXPECT_EQ(ran_, (std::vector<std::string>{"detect", "cdrom"}));
  EXPECT_EQ(raw_at_detection, 1);
  EXPECT_EQ(modules_at_detection, (std::vector<std::string>{"atl1c", "ext2", "usbcore"}));
  EXPECT_EQ(output_, std::string("Loading drivers\nSoftware installed.\n") + kPrompt + kEnd);
  EXPECT_EQ(terminal_state.raw, 0);  // restored before the reboot

  // No drive: the CD-ROM flow does not run; the prompt comes all the same.
  ran_.clear();
  flows_.detect_target_disk = flow("detect", false, "\nFATAL ERROR: no harddrives found\n");
  run({"installer"});
  EXPECT_EQ(ran_, std::vector<std::string>{"detect"});
  EXPECT_TRUE(prompted());
}

TEST_F(EntryTest, AnyOtherModeIsAnInternalError) {
  flows_.hard_disk = flow("hard-disk", true);
  flows_.cdrom = flow("cdrom", true);
  flows_.net = flow("net", true);
  flows_.detect_target_disk = flow("detect", true);
  for (const char* type : {"cdrom ", "CDROM\n", "", "\n", "nett\n", " net\n"}) {
    type_file(type);
    run({"installer", "-hdd"});
    EXPECT_EQ(output_, std::string(kInternal) + kPrompt + kEnd) << '"' << type << '"';
    EXPECT_TRUE(exists(host("/flash/SHOW_LICENSE"))) << type;
    unlink(host("/flash/SHOW_LICENSE").c_str());
  }
  unlink(host("/TYPE").c_str());
  run({"installer"});
  EXPECT_EQ(output_, std::string(kInternal) + kPrompt + kEnd);
  EXPECT_TRUE(ran_.empty());
}

TEST_F(EntryTest, FlowsNotInThisBuildAreInternalErrors) {
  flows_ = FlowTable{};
  run({"installer", "-hdd-install"});
  EXPECT_EQ(output_, std::string(kInternal) + kPrompt + kEnd);
  type_file("net\n");
  run({"installer"});
  EXPECT_EQ(output_, std::string(kInternal) + kPrompt + kEnd);
  // The CD-ROM mode still loads its drivers; without detection there is no drive.
  type_file("cdrom\n");
  run({"installer"});
  EXPECT_EQ(output_, std::string("Loading drivers\n") + kInternal + kPrompt + kEnd);
}

TEST_F(EntryTest, EndOfRunInItsOrder) {
  flows_.hard_disk = flow("hard-disk", true);
  std::vector<std::string> seen;
  system_.observer = [&](const std::string& call) {
    if (call.rfind("umount", 0) == 0 || call.rfind("reboot", 0) == 0)
      seen.push_back(call + (exists(host("/flash/SHOW_LICENSE")) ? " marker" : "") +
                     (abort_disabled ? " disabled" : "") + "|" + capture_->text());
  };
  run({"installer", "-hdd-install"});
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "umount " + host("/floppy") + " marker|",
                      "umount " + host("/flash") + " marker|",
                      "reboot 0x1234567 marker disabled|" + std::string(kEnd),
                  }));
  struct stat status;
  ASSERT_EQ(stat(host("/flash/SHOW_LICENSE").c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(*system_.reboot_command, 0x01234567);
}

TEST_F(EntryTest, AbortSignalDuringTheFlowAndNotAfterTheEnd) {
  flows_.hard_disk = [&](System&, TargetDisk&) {
    raise(SIGINT);  // the handler's reboot is a fake one, so the flow goes on afterwards
    return false;
  };
  system_.observer = [&](const std::string& call) {
    // By the final reboot the handler must ignore the signal.
    if (call.rfind("reboot", 0) == 0 && system_.reboot_command) raise(SIGINT);
  };
  run({"installer", "-hdd-install"}, "\n\n");
  std::vector<std::string> expected = {
      "mount proc " + host("/proc") + " proc 0",
      "mount sysfs " + host("/sys") + " sysfs 0",
      "umount " + host("/flash/boot"),
      "umount " + host("/flash"),
      "umount " + host("/floppy"),
      "reboot 0x1234567",
      "umount " + host("/floppy"),
      "umount " + host("/flash"),
      "reboot 0x1234567",
  };
  EXPECT_EQ(system_.calls, expected);
  EXPECT_EQ(output_, std::string("\n\nInstallation aborted\nPress ENTER to reboot\n\033[?25h") +
                         kPrompt + kEnd);
}

TEST_F(EntryTest, LcdNodeFromTheSysfsAnnouncement) {
  put(host("/sys/class/misc/lcd/dev"), "10:60\n");
  put(host("/dev/lcd"), "");  // stands in for the node the fake does not create
  flows_.hard_disk = [&](System&, TargetDisk&) {
    show_banner("hard disk installation");
    return true;
  };
  run({"installer", "-hdd-install"});
  ASSERT_EQ(system_.nodes.size(), 1u);
  EXPECT_EQ(system_.nodes[0].path, host("/dev/lcd"));
  EXPECT_EQ(system_.nodes[0].mode, mode_t(S_IFCHR | 0666));
  EXPECT_EQ(system_.nodes[0].major, 10u);
  EXPECT_EQ(system_.nodes[0].minor, 60u);
  EXPECT_GE(lcd_fd, 0);
  EXPECT_EQ(get(host("/dev/lcd")), "flashsetup");
  EXPECT_EQ(output_.find("ERROR"), std::string::npos);

  // The node exists already: its creation fails and the open decides.
  close(lcd_fd);
  system_ = FakeSystem();
  system_.fail_once("mknod", host("/dev/lcd"), EEXIST);
  run({"installer", "-hdd-install"});
  EXPECT_GE(lcd_fd, 0);
}

TEST_F(EntryTest, LcdMissingOrMalformed) {
  flows_.hard_disk = flow("hard-disk", true);
  run({"installer", "-hdd-install"});
  EXPECT_EQ(lcd_fd, -1);
  EXPECT_EQ(output_, kEnd);

  put(host("/sys/class/misc/lcd/dev"), "10\n");
  put(host("/dev/lcd"), "");
  run({"installer", "-hdd-install"});
  EXPECT_EQ(lcd_fd, -1);
  EXPECT_TRUE(system_.nodes.empty());
  EXPECT_EQ(output_, std::string("ERROR: strange format for lcd dev\n") + kEnd);

  // The CD-ROM mode writes nothing to the LCD.
  put(host("/sys/class/misc/lcd/dev"), "10:60");
  type_file("cdrom");
  run({"installer"});
  EXPECT_GE(lcd_fd, 0);
  EXPECT_EQ(get(host("/dev/lcd")), "");
}

TEST_F(EntryTest, WithoutVirtualConsoleTheSerialLineTakesOver) {
  unlink(host("/dev/tty0").c_str());
  put(host("/dev/ttyS0"), "");
  struct stat serial;
  ASSERT_EQ(stat(host("/dev/ttyS0").c_str(), &serial), 0);
  bool streams_moved = false;
  std::string tool_path;
  flows_.hard_disk = [&](System&, TargetDisk&) {
    streams_moved = true;
    for (int fd = 0; fd < 3; ++fd) {
      struct stat status;
      streams_moved = streams_moved && fstat(fd, &status) == 0 &&
                      status.st_ino == serial.st_ino && status.st_dev == serial.st_dev;
    }
    tool_path = tool_output_path;
    out_text("Software installed.\n");
    return true;
  };
  run({"installer", "-hdd-install"}, "\n", /*capture=*/false);
  EXPECT_TRUE(streams_moved);
  EXPECT_EQ(tool_path, "/dev/null");
  EXPECT_EQ(get(host("/dev/ttyS0")), std::string("Software installed.\n") + kEnd);

  // Neither console: the inherited streams stay.
  unlink(host("/dev/ttyS0").c_str());
  flows_.hard_disk = flow("hard-disk", true);
  run({"installer", "-hdd-install"});
  EXPECT_EQ(output_, kEnd);
}

}  // namespace
