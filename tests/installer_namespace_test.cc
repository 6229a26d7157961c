// The real installer binary as init: it runs as PID 1 of a new PID and mount namespace over a
// scratch root, mounts /proc and /sys there, runs to its end and reboots. A reboot from inside
// a PID namespace other than the first one ends only that namespace: its init is killed by
// SIGHUP (the signal for a restart), and the machine goes on.
//
// The binary is started in exactly one place, run_installer_in_namespace(), and only as the
// program that unshare starts inside the new namespaces with its root changed to the scratch
// directory. Its name there does not exist outside that root.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "scenario_support.h"

namespace {

const char kInstallerInRoot[] = "/kest-scratch-installer";  // names the copy inside the root

bool copy_file(const std::string& from, const std::string& to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  out << in.rdbuf();
  out.close();
  return out.good() && chmod(to.c_str(), mode) == 0;
}

class InstallerAsInit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for PID and mount namespaces";
    if (std::string(KEST_STATIC_INSTALLER).empty())
      GTEST_SKIP() << "this build has no statically linked installer (sanitizer build)";
    if (find_program("unshare").empty()) GTEST_SKIP() << "unshare is not installed";
    // The namespaces must work here before anything is started in them.
    CommandResult probe = run_command({"unshare", "--pid", "--mount", "--net", "--fork", "true"});
    if (probe.status != 0) GTEST_SKIP() << "PID/mount/network namespaces unavailable: " << probe.output;
    ASSERT_FALSE(root_.path().empty());
    std::string root = root_.path();
    for (const char* dir : {"/proc", "/dev"}) ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
  }

  // Copies the installer into the root as name ("init" in it makes it split off a worker)
  // and runs it there as PID 1 of new PID and mount namespaces.
  CommandResult run_installer_in_namespace(const std::string& name,
                                           const std::vector<std::string>& args,
                                           const std::string& keys) {
    std::string inside = std::string(kInstallerInRoot) + "-" + name;
    // The path must mean nothing outside the scratch root.
    if (access(inside.c_str(), F_OK) == 0) {
      ADD_FAILURE() << inside << " exists outside the scratch root";
      return {};
    }
    if (!copy_file(KEST_STATIC_INSTALLER, root_.path() + inside, 0755)) {
      ADD_FAILURE() << "cannot copy the installer into the scratch root";
      return {};
    }
    // A network namespace of its own too: in network mode the installer switches on every
    // card it finds and broadcasts on them.
    std::vector<std::string> argv = {"unshare", "--pid", "--mount", "--net", "--fork", "--kill-child",
                                     "--root=" + root_.path(), inside};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, keys, 30000);
  }

  // The namespace ended by a restart: its init was killed by SIGHUP, which unshare passes on
  // by killing itself with it (older versions exit with 128 + the signal instead).
  static bool ended_by_restart(int status) {
    return (WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) ||
           (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGHUP);
  }

  bool mounted_here(const std::string& path) {
    return read_file("/proc/self/mountinfo").find(path) != std::string::npos;
  }

  TempDir root_;
};

TEST_F(InstallerAsInit, InitSplitRunsToTheRebootOfItsNamespace) {
  std::ofstream(root_.path() + "/dev/tty0");  // a virtual console: the streams stay
  std::ofstream(root_.path() + "/TYPE") << "cdrom \n";
  CommandResult run = run_installer_in_namespace("init", {}, "x\n");
  // Had the init parent not waited for its worker, its end would have ended the namespace
  // with the worker in it: no output, no marker and an ordinary exit.
  ASSERT_NE(run.status, -1) << "the installer did not end: " << run.output;
  EXPECT_TRUE(ended_by_restart(run.status)) << "raw status " << run.status;
  EXPECT_EQ(run.output,
            "FATAL ERROR: internal error\nPress ENTER to reboot\a\033[?25h\nRebooting...");
  for (const char* dir : {"/sys", "/flash", "/ram"}) {
    struct stat status;
    EXPECT_EQ(stat((root_.path() + dir).c_str(), &status), 0) << dir;
  }
  EXPECT_EQ(access((root_.path() + "/flash/SHOW_LICENSE").c_str(), F_OK), 0);
  // /proc and /sys were mounted inside the namespace only.
  EXPECT_FALSE(mounted_here(root_.path()));
  EXPECT_EQ(access((root_.path() + "/proc/self").c_str(), F_OK), -1);
}

TEST_F(InstallerAsInit, WithoutInitInItsNameItIsTheWorkerItself) {
  std::ofstream(root_.path() + "/dev/tty0");
  std::ofstream(root_.path() + "/TYPE") << "net\n";
  CommandResult run = run_installer_in_namespace("plain", {"-HDD-INSTALL"}, "\n");
  ASSERT_NE(run.status, -1) << "the installer did not end: " << run.output;
  EXPECT_TRUE(ended_by_restart(run.status)) << "raw status " << run.status;
  // The network flow, in a namespace whose only card is the loopback card.
  EXPECT_EQ(run.output,
            "\033[?25l\033[2J\033[HWelcome to Quovalen Router Software remote installation\n"
            "Press Ctrl-Alt-Delete to abort\n\nFATAL ERROR: no network card found\n"
            "Press ENTER to reboot\033[?25h\nRebooting...");
  EXPECT_FALSE(mounted_here(root_.path()));
}

TEST_F(InstallerAsInit, WithoutVirtualConsoleItTalksOnTheSerialLine) {
  // No /dev/tty0: the console moves to /dev/ttyS0, here a plain file in the root.
  std::ofstream(root_.path() + "/dev/ttyS0");
  // No install mode: the run goes straight to its end, which is all this test looks at.
  CommandResult run = run_installer_in_namespace("init", {}, "");
  ASSERT_NE(run.status, -1) << "the installer did not end: " << run.output;
  EXPECT_TRUE(ended_by_restart(run.status)) << "raw status " << run.status;
  EXPECT_EQ(run.output, "");
  // Both streams moved: the wait for Enter read the same file from its start, that is the
  // 27 characters of the first line written to it (a bell for each) up to its newline.
  EXPECT_EQ(read_file(root_.path() + "/dev/ttyS0"),
            "FATAL ERROR: internal error\nPress ENTER to reboot" + std::string(27, '\a') +
                "\033[?25h\nRebooting...");
}

TEST_F(InstallerAsInit, CdromModeFindsItsDiskThroughThePartitioningTool) {
  if (access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "no static busybox for the root";
  std::string root = root_.path();
  std::ofstream(root + "/dev/tty0");
  std::ofstream(root + "/dev/null");
  std::ofstream(root + "/TYPE") << "cdrom\n";
  ASSERT_EQ(mkdir((root + "/bin").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root + "/sbin").c_str(), 0755), 0);
  ASSERT_TRUE(copy_file("/bin/busybox", root + "/bin/sh", 0755));
  // The medium's tool lists one disk; nothing in the root is a real device.
  std::ofstream(root + "/sbin/sfdisk")
      << "#!/bin/sh\n[ \"$*\" = -g ] && echo '/dev/sdb: 1024 cylinders, 255 heads, 63 sectors'\n";
  ASSERT_EQ(chmod((root + "/sbin/sfdisk").c_str(), 0755), 0);
  CommandResult run = run_installer_in_namespace("init", {}, "\n");
  ASSERT_NE(run.status, -1) << "the installer did not end: " << run.output;
  EXPECT_TRUE(ended_by_restart(run.status)) << "raw status " << run.status;
  const std::string found =
      "Loading drivers\n\nLooking for harddrives...\n\nFound harddrive as SATA 2\n";
  EXPECT_EQ(run.output.substr(0, found.size()), found) << run.output;
  // The CD-ROM flow then tries every drive as a CD twenty times, a second apart: there is none.
  EXPECT_NE(run.output.find("\nFATAL ERROR: no CD-ROM found\nPress ENTER to reboot"),
            std::string::npos)
      << run.output;
}

}  // namespace
