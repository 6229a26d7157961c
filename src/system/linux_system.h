// The real system calls behind the System seam. main() creates the one instance of the run.
#pragma once

#include "system/system.h"

class LinuxSystem : public System {
 public:
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
};
