#include "system/linux_system.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "testing/scratch_root.h"
#include "testing/stdin_text.h"

namespace {

// Runs body in a child process in a mount namespace of its own, so nothing it mounts is seen
// outside. The child's exit code is body's result.
int in_mount_namespace(const std::function<int()>& body) {
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0) _exit(100);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(101);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// The real calls, made below a scratch root.
using LinuxSystemCalls = ScratchRoot;

TEST_F(LinuxSystemCalls, MountsAndUnmountsForReal) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for mount namespaces";
  make_dir(host("/flash"));
  std::string flash = host("/flash");
  int result = in_mount_namespace([&] {
    LinuxSystem system;
    if (system.mount("tmpfs", flash.c_str(), "tmpfs", 0, "size=1m") != 0) return 1;
    std::ofstream(flash + "/probe") << "x";
    struct stat status;
    if (stat((flash + "/probe").c_str(), &status) != 0) return 2;
    if (system.umount(flash.c_str()) != 0) return 3;
    // The file lived on the tmpfs and went with it.
    if (stat((flash + "/probe").c_str(), &status) == 0) return 4;
    if (system.umount(flash.c_str()) != -1 || errno != EINVAL) return 5;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(exists(host("/flash/probe")));
}

TEST_F(LinuxSystemCalls, CreatesCharacterDeviceNodes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create device nodes";
  LinuxSystem system;
  std::string node = host("/lcd");
  mode_t old_mask = umask(0);
  int result = system.mknod(node.c_str(), S_IFCHR | 0666, makedev(10, 60));
  umask(old_mask);
  ASSERT_EQ(result, 0);
  struct stat status;
  ASSERT_EQ(lstat(node.c_str(), &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_EQ(major(status.st_rdev), 10u);
  EXPECT_EQ(minor(status.st_rdev), 60u);
  // A second creation fails (the entry routine ignores that and opens the node).
  EXPECT_EQ(system.mknod(node.c_str(), S_IFCHR | 0666, makedev(10, 60)), -1);
  EXPECT_EQ(errno, EEXIST);
}

TEST(LinuxSystem, ForkWaitReleaseAndSleep) {
  LinuxSystem system;
  fflush(stdout);
  pid_t pid = system.fork();
  if (pid == 0) _exit(7);
  ASSERT_GT(pid, 0);
  int status = 0;
  EXPECT_EQ(system.waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(system.waitpid(pid, &status, 0), -1);
  EXPECT_EQ(errno, ECHILD);

  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(system.kernel_release(), names.release);
  EXPECT_EQ(system.sleep(0), 0u);
}

}  // namespace
