#include "flows/cdrom_install.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "disk/boot_record.h"
#include "disk/post_install.h"
#include "disk/prepare_disk.h"
#include "disk/target_disk.h"
#include "flows/package_discovery.h"
#include "system/target_file.h"
#include "frontend/console.h"
#include "pkgmgr/install_child.h"
#include "system/child_slot.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

namespace {

const char* const kCdromDevices[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                     "/dev/sr0", "/dev/sr1", "/dev/sr2", "/dev/sr3", nullptr};
constexpr int kSearchPasses = 20;
constexpr unsigned long kCdromMountFlags = MS_MGC_VAL | MS_RDONLY;  // 0xC0ED0001
constexpr size_t kCopyBlock = 4096;

// Mounts the first candidate that holds a CD on /floppy, pass after pass.
bool mount_cdrom(System& system) {
  std::string medium = root_path("/floppy");
  for (int pass = 0; pass < kSearchPasses; ++pass) {
    for (const char* const* device = kCdromDevices; *device; ++device)
      if (system.mount(root_path(*device).c_str(), medium.c_str(), "iso9660", kCdromMountFlags,
                       nullptr) == 0)
        return true;
    system.sleep(1);
  }
  return false;
}

// Copies one archive file into a new installation child. False after the failure's message;
// a package the child refuses is not a failure here (the child reports it).
bool feed_archive(const LocalPackage& package) {
  FILE* child = start_install_child(true, false);
  if (!child) {
    out_printf("\nFATAL ERROR: couldn't start install\n");
    return false;
  }
  int fd = open(root_path(package.path).c_str(), O_RDONLY | O_CLOEXEC);
  char block[kCopyBlock];
  for (;;) {
    // An archive that cannot be opened fails here like one that cannot be read.
    ssize_t n = fd < 0 ? -1 : read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      finish_child(child);
      if (fd >= 0) close(fd);
      out_printf("\nFATAL ERROR: corrupted CD-ROM\n");
      return false;
    }
    if (n == 0) break;
    if (fwrite(block, 1, size_t(n), child) != size_t(n)) {
      out_printf("\n");
      finish_child(child);
      close(fd);
      return false;
    }
  }
  finish_child(child);  // the child reports its own result on the console
  close(fd);
  return true;
}

}  // namespace

bool install_from_cdrom(System& system, TargetDisk& disk) {
  if (!mount_cdrom(system)) {
    out_printf("\nFATAL ERROR: no CD-ROM found\n");
    return false;
  }
  PackageList packages;
  if (!discover_packages(packages)) return false;

  if (!choose_packages(packages)) {
    out_printf("Installation canceled\n");
    return false;
  }
  bool keep = ask_yes_no("Do you want to keep old configuration? ");
  out_printf("\nWarning: all data on the disk will be erased!\n\n");
  if (!ask_yes_no("Continue?")) return false;
  out_printf("\n");

  // From here on the disk changes.
  prepare_boot_record(disk.device);
  if (!prepare_disk(system, disk, keep)) return false;
  out_printf("\n");
  InstallList install;
  build_install_list(packages, install);
  for (const LocalPackage* package : install)
    if (!feed_archive(*package)) return false;

  int marker = create_target_file("CDINSTALL", 0600, 0755);
  if (marker >= 0) close(marker);
  post_install(system, disk);
  out_printf("\nSoftware installed.\n");
  return true;
}
