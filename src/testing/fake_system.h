// A System for tests: records every call, in order, and makes none of them. One call can be
// made to fail on purpose. Module images are remembered by content, so loading the same image
// twice is refused with EEXIST, as the kernel refuses a module that is already loaded.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system/system.h"

class FakeSystem : public System {
 public:
  struct Mount {
    std::string source, target, fstype;
    unsigned long flags = 0;
  };
  struct Node {
    std::string path;
    mode_t mode = 0;
    unsigned major = 0, minor = 0;
  };

  int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
            const void* data) override;
  int umount(const char* target) override;
  int mknod(const char* path, mode_t mode, dev_t device) override;
  int init_module(const void* image, size_t length, const char* params) override;
  int reboot(int command) override;
  unsigned sleep(unsigned seconds) override;
  pid_t fork() override;
  pid_t waitpid(pid_t pid, int* status, int options) override;
  std::string kernel_release() override;

  // The next call of the named kind ("mount", "umount", "mknod", "init_module", "reboot",
  // "sleep", "fork", "waitpid") whose path (the image text for init_module) equals target,
  // or any such call when target is empty, fails with errno error. Only that one call fails.
  void fail_once(std::string call, std::string target, int error);

  // Every call in order, one line each: "mount SOURCE TARGET TYPE FLAGS", "umount TARGET",
  // "mknod PATH MODE(octal) MAJOR,MINOR", "init_module IMAGE PARAMS", "reboot 0xCOMMAND",
  // "sleep N", "fork", "waitpid PID". Failed calls are logged too, followed by " -> fail".
  std::vector<std::string> calls;
  std::vector<Mount> mounts;             // successful mounts
  std::vector<std::string> umounts;      // successful unmounts
  std::vector<Node> nodes;               // nodes created
  std::vector<std::string> modules;      // images the "kernel" accepted, in load order
  std::optional<int> reboot_command;     // the last reboot requested
  unsigned slept = 0;                    // seconds of sleep requested

  // Seen by each call before it is carried out, with its log line (tests use it to check
  // what the console showed at that moment).
  std::function<void(const std::string&)> observer;

  // What fork() returns (0: carry on as the child) and what waitpid() reports: each entry
  // is either {pid, raw status} or {-1, errno}; when the list runs out, waitpid fails ECHILD.
  pid_t fork_result = 0;
  std::vector<std::pair<pid_t, int>> wait_results;
  std::string release = "6.1.0-test";

 private:
  // Logs the call and reports whether it is the one chosen to fail (errno is then set).
  bool enter(const std::string& kind, const std::string& target, std::string line);

  struct Failure {
    std::string call, target;
    int error;
  };
  std::vector<Failure> failures_;
  size_t next_wait_ = 0;
};
