// The seam to the kernel: the calls that a test process cannot make for real (or must not:
// mounting, rebooting, loading modules, creating device nodes, splitting off a worker, time).
// LinuxSystem makes the real calls; tests use FakeSystem, which records them.
//
// Paths are host paths: callers pass them through root_path() first, as for every other file
// operation. Every operation returns what the system call returns (0, or -1 with errno set)
// unless its line says otherwise.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// The reboot command that restarts the machine (RB_AUTOBOOT).
constexpr int kRestartCommand = 0x01234567;

class System {
 public:
  virtual ~System() = default;

  virtual int mount(const char* source, const char* target, const char* fstype,
                    unsigned long flags, const void* data) = 0;
  virtual int umount(const char* target) = 0;
  // mode carries the file type bits (S_IFCHR, S_IFBLK) and the permission bits.
  virtual int mknod(const char* path, mode_t mode, dev_t device) = 0;
  // Hands a module image (length bytes, owned by the caller) and its parameter text to the
  // kernel.
  virtual int init_module(const void* image, size_t length, const char* params) = 0;
  // Returns only when the kernel refused (command is one of the RB_* values, for example
  // kRestartCommand).
  virtual int reboot(int command) = 0;
  // Returns the seconds left when interrupted, as sleep(3) does.
  virtual unsigned sleep(unsigned seconds) = 0;
  // As fork(2): the child's pid in the parent, 0 in the child, -1 on failure.
  virtual pid_t fork() = 0;
  virtual pid_t waitpid(pid_t pid, int* status, int options) = 0;
  // The running kernel's release (uname's release field); empty if uname failed.
  virtual std::string kernel_release() = 0;
};
