#include "disk/target_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "disk/device_path.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

namespace {

bool mount_partition(System& system, const TargetDisk& disk, unsigned number, const char* at,
                     const char* type) {
  std::string source = root_path(partition_path(disk.device, number));
  return system.mount(source.c_str(), root_path(at).c_str(), type, 0, nullptr) == 0;
}

// Writes text into a new file (mode 0644). False when the file cannot be created or written;
// a half-written file is worse than none, since the installation would seem to succeed.
bool write_config_file(const char* path, const std::string& text) {
  std::string host = root_path(path);
  FILE* file = fopen(host.c_str(), "w");
  if (!file) return false;
  bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  bool closed = fclose(file) == 0;
  chmod(host.c_str(), 0644);
  return written && closed;
}

std::string format(const char* pattern, const std::string& partition, const char* word = "") {
  char buffer[256];
  snprintf(buffer, sizeof buffer, pattern, partition.c_str(), word);
  return buffer;
}

}  // namespace

bool mount_target(System& system, const TargetDisk& disk, bool with_boot) {
  if (!mount_partition(system, disk, 2, "/flash", "ext3")) {
    if (mount_partition(system, disk, 1, "/flash", "ext3")) return true;
    if (!mount_partition(system, disk, 2, "/flash", "ext2"))
      return mount_partition(system, disk, 1, "/flash", "ext2");
  }
  // Partition 2 holds the root: partition 1 is the boot partition.
  if (!with_boot) return true;
  mkdir(root_path("/flash/boot").c_str(), 0755);
  if (!mount_partition(system, disk, 1, "/flash/boot", "ext2")) {
    system.umount(root_path("/flash").c_str());
    return false;
  }
  return true;
}

bool lay_out_system(System& system, const TargetDisk& disk) {
  if (!mount_target(system, disk, true)) {
    out_printf("ERROR: could not mount filesystem\n");
    return false;
  }
  const std::string& device = disk.device;
  int root_number = disk.over_1023_cylinders ? 2 : 1;

  mkdir(root_path("/flash/etc").c_str(), 0755);
  std::string lilo = "boot=" + partition_path(device, 1) + "\n" + "map=/boot/map\n" +
                     "install=/boot/boot.b\n" + "lba32\n" + "image=/boot/vmlinuz\n" +
                     "  label=System\n" + "  root=" + partition_path(device, root_number) +
                     "\n" + "  read-only\n";
  if (!write_config_file("/flash/etc/lilo.conf", lilo)) {
    out_printf("ERROR: could not create lilo.conf\n");
    return false;
  }

  mkdir(root_path("/flash/etc").c_str(), 0755);
  const char* root_type = disk.over_40_mib ? "ext3" : "ext2";
  std::string fstab;
  if (disk.over_1023_cylinders) {
    fstab = format("%s  /     %s defaults 1 1\n", partition_path(device, 2), root_type) +
            format("%s  /boot ext2 defaults 1 2\n", partition_path(device, 1));
  } else {
    fstab = format("%s  /     %s defaults 1 1\n", partition_path(device, 1), root_type);
  }
  fstab += "none /proc proc defaults 0 0\n";
  fstab += "none /dev/pts devpts gid=5,mode=620 0 0\n";
  if (!write_config_file("/flash/etc/fstab", fstab)) {
    out_printf("ERROR: could not create fstab\n");
    return false;
  }

  if (disk.over_40_mib) {
    int fd = creat(root_path("/flash/.nofsck").c_str(), 0644);
    if (fd >= 0) close(fd);
  }

  static const struct {
    const char* path;
    const char* label;
  } kDirectories[] = {
      {"/flash/rw", "/rw"},   {"/flash/kest", "/kest"},       {"/flash/kest/etc", "/kest/etc"},
      {"/flash/var", "/var"}, {"/flash/var/pdb", "/var/pdb"},
  };
  for (const auto& dir : kDirectories) {
    if (mkdir(root_path(dir.path).c_str(), 0755) != 0) print_system_error(dir.label, errno);
  }
  return true;
}
