#include "testing/fake_system.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

void FakeSystem::fail_once(std::string call, std::string target, int error) {
  failures_.push_back({std::move(call), std::move(target), error});
}

bool FakeSystem::enter(const std::string& kind, const std::string& target, std::string line) {
  if (observer) observer(line);
  auto hit = std::find_if(failures_.begin(), failures_.end(), [&](const Failure& f) {
    return f.call == kind && (f.target.empty() || f.target == target);
  });
  if (hit == failures_.end()) {
    calls.push_back(std::move(line));
    return false;
  }
  errno = hit->error;
  failures_.erase(hit);
  calls.push_back(line + " -> fail");
  return true;
}

int FakeSystem::mount(const char* source, const char* target, const char* fstype,
                      unsigned long flags, const void* data) {
  std::string line = "mount " + std::string(source ? source : "") + " " + target + " " +
                     (fstype ? fstype : "") + " " + std::to_string(flags);
  if (enter("mount", target, std::move(line))) return -1;
  mounts.push_back({source ? source : "", target, fstype ? fstype : "", flags});
  return 0;
}

int FakeSystem::umount(const char* target) {
  if (enter("umount", target, std::string("umount ") + target)) return -1;
  umounts.push_back(target);
  return 0;
}

int FakeSystem::mknod(const char* path, mode_t mode, dev_t device) {
  char text[64];
  snprintf(text, sizeof text, " %o %u,%u", unsigned(mode), unsigned(major(device)),
           unsigned(minor(device)));
  if (enter("mknod", path, std::string("mknod ") + path + text)) return -1;
  nodes.push_back({path, mode, unsigned(major(device)), unsigned(minor(device))});
  return 0;
}

int FakeSystem::init_module(const void* image, size_t length, const char* params) {
  std::string content(static_cast<const char*>(image), length);
  if (enter("init_module", content, "init_module " + content + " " + params)) return -1;
  if (std::find(modules.begin(), modules.end(), content) != modules.end()) {
    calls.back() += " -> fail";
    errno = EEXIST;
    return -1;
  }
  modules.push_back(std::move(content));
  return 0;
}

int FakeSystem::reboot(int command) {
  char text[32];
  snprintf(text, sizeof text, "reboot 0x%x", unsigned(command));
  if (enter("reboot", "", text)) return -1;
  reboot_command = command;
  return 0;
}

unsigned FakeSystem::sleep(unsigned seconds) {
  if (enter("sleep", "", "sleep " + std::to_string(seconds))) return seconds;
  slept += seconds;
  return 0;
}

pid_t FakeSystem::fork() {
  if (enter("fork", "", "fork")) return -1;
  return fork_result;
}

pid_t FakeSystem::waitpid(pid_t pid, int* status, int options) {
  if (enter("waitpid", "", "waitpid " + std::to_string(pid))) return -1;
  if (next_wait_ >= wait_results.size()) {
    errno = ECHILD;
    return -1;
  }
  auto [result, value] = wait_results[next_wait_++];
  if (result == -1) {
    errno = value;
    return -1;
  }
  if (status) *status = value;
  return result;
}

std::string FakeSystem::kernel_release() { return release; }
