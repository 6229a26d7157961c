// Keeping the configuration when there is nothing to keep or something goes wrong, on a
// scratch root with a FakeSystem (the mounts are recorded, not made), and a store larger than
// a real memory cgroup allows. A store carried across real, reformatted disks:
// real_disk_test.cc.
#include "disk/old_config.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <filesystem>

#include "system/output.h"
#include "system/root.h"
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

// A memory cgroup of its own below this process's group, limited to limit bytes: v2 where the
// memory controller is there, else v1. Removed on destruction. Empty dir when neither can be
// had.
class MemoryGroup {
 public:
  explicit MemoryGroup(uint64_t limit) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string v2, v1;
    for (std::string line; std::getline(mounts, line);) {
      std::istringstream words(line);
      std::string word, point;
      for (int i = 0; i < 5; ++i) words >> point;
      while (words >> word && word != "-") {}
      std::string type, source, options;
      words >> type >> source >> options;
      if (type == "cgroup2") v2 = point;
      if (type == "cgroup" && ("," + options + ",").find(",memory,") != std::string::npos) v1 = point;
    }
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
      std::string path = line.substr(line.find(':', line.find(':') + 1) + 1);
      std::string name = "/kest-test-" + std::to_string(getpid());
      if (line.compare(0, 3, "0::") == 0 && !v2.empty() &&
          try_make(v2 + path + name, "memory.max", limit)) return;
      if (line.find(":memory:") != std::string::npos && !v1.empty() &&
          try_make(v1 + path + name, "memory.limit_in_bytes", limit)) return;
    }
  }
  ~MemoryGroup() {
    // The group goes once its last process is gone, which the kernel notes a moment after
    // the wait.
    for (int i = 0; !dir_.empty() && rmdir(dir_.c_str()) != 0 && i < 100; ++i) usleep(10000);
  }
  const std::string& dir() const { return dir_; }

  // Runs body in a child process inside the group; its text, and its wait status.
  std::pair<std::string, int> run(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {"pipe failed", -1};
    out_flush();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      std::string text = "could not join the group";
      if (std::ofstream(dir_ + "/cgroup.procs") << getpid() << std::endl) text = body();
      (void)!write(fds[1], text.data(), text.size());
      _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
    close(fds[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    return {text, status};
  }

 private:
  bool try_make(const std::string& dir, const char* limit_file, uint64_t limit) {
    if (mkdir(dir.c_str(), 0755) != 0) return false;
    if (!(std::ofstream(dir + "/" + limit_file) << limit << std::endl)) {
      rmdir(dir.c_str());
      return false;
    }
    std::ofstream(dir + "/memory.swap.max") << 0 << std::endl;  // v2 with swap: none
    dir_ = dir;
    return true;
  }
  std::string dir_;
};

TEST_F(OldConfigTest, AStoreLargerThanTheMemoryLeftIsNotRead) {
  MemoryGroup group(64 << 20);
  if (group.dir().empty()) GTEST_SKIP() << "no memory cgroup can be made here";
  // The kernel's own files, seen through the scratch root as the installer sees them.
  symlink("/proc", host("/proc").c_str());
  symlink("/sys", host("/sys").c_str());
  put(host("/flash/kest/store/etc/hosts"), "127.0.0.1 localhost\n");
  const std::string big = host("/flash/kest/store/big");
  auto snapshot_in_group = [&] {
    return group.run([&] {
      OutputCapture capture;
      FakeSystem system;
      bool none = snapshot_old_config(system, disk_) == nullptr;
      return std::string(none ? "none " : "snapshot ") + capture.text();
    });
  };

  // 4 MiB fits.
  put(big, "");
  ASSERT_EQ(truncate(big.c_str(), 4 << 20), 0);
  auto [fits, fits_status] = snapshot_in_group();
  EXPECT_EQ(fits, "snapshot Reading old configuration...\n");
  EXPECT_TRUE(WIFEXITED(fits_status) && WEXITSTATUS(fits_status) == 0);

  // 256 MiB: read as it is, the kernel would end the process (and, were it the installer,
  // the machine)...
  ASSERT_EQ(truncate(big.c_str(), 256 << 20), 0);
  auto [killed, killed_status] = group.run([&] {
    Snapshot snapshot;
    return std::string(snapshot.start() && snapshot_tree(snapshot, "/flash/kest/store")
                           ? "read whole" : "refused");
  });
  EXPECT_TRUE(WIFSIGNALED(killed_status) && WTERMSIG(killed_status) == SIGKILL)
      << "the limit does not hold: " << killed;

  // ... so its size is added up first, and nothing is read.
  auto [refused, refused_status] = snapshot_in_group();
  EXPECT_EQ(refused, "none Reading old configuration...\n"
                     "ERROR: couldn't keep config - probably not enough memory\n");
  EXPECT_TRUE(WIFEXITED(refused_status) && WEXITSTATUS(refused_status) == 0);
}

}  // namespace
