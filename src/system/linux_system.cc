#include "system/linux_system.h"

#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The system library has no wrapper for init_module; it is called through the generic
// system call entry. The 32-bit x86 number is fixed by that kernel ABI.
#if defined(__i386__)
constexpr long kInitModuleCall = 128;
#else
constexpr long kInitModuleCall = SYS_init_module;
#endif
}  // namespace

int LinuxSystem::mount(const char* source, const char* target, const char* fstype,
                       unsigned long flags, const void* data) {
  return ::mount(source, target, fstype, flags, data);
}

int LinuxSystem::umount(const char* target) { return ::umount(target); }

int LinuxSystem::mknod(const char* path, mode_t mode, dev_t device) {
  return ::mknod(path, mode, device);
}

int LinuxSystem::init_module(const void* image, size_t length, const char* params) {
  return static_cast<int>(
      syscall(kInitModuleCall, image, static_cast<unsigned long>(length), params));
}

int LinuxSystem::reboot(int command) { return ::reboot(command); }

unsigned LinuxSystem::sleep(unsigned seconds) { return ::sleep(seconds); }

pid_t LinuxSystem::fork() { return ::fork(); }

pid_t LinuxSystem::waitpid(pid_t pid, int* status, int options) {
  return ::waitpid(pid, status, options);
}

std::string LinuxSystem::kernel_release() {
  struct utsname names;
  if (uname(&names) != 0) return std::string();
  return names.release;
}
