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
#include "flows/archive_check.h"
#include "flows/package_discovery.h"
#include "flows/selection_check.h"
#include "frontend/console.h"
#include "pkgmgr/install_child.h"
#include "pkgmgr/version.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"
#include "system/target_file.h"

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

// Reads every chosen archive whole and proves it genuine, then plans the selection against an
// empty target, while the disk is untouched. A package that is not genuine ends the flow; one
// the rules would refuse is named, and the user decides at "Continue?".
bool check_archives(const InstallList& install) {
  begin_progress("Checking packages...");
  const LocalPackage* bad = nullptr;
  for (const LocalPackage* package : install)
    if (!archive_file_is_sound(package->path)) {
      bad = package;
      break;
    }
  end_progress();
  if (bad) {
    out_printf("\nFATAL ERROR: Bad package %s: damaged or not genuine\n",
               package_label(*bad).c_str());
    return false;
  }
  return plan_selection(install, false);
}

enum class Fed { kInstalled, kRefused, kMediumFailed };

// Copies one archive file into a new installation child. A package the child refuses (it
// reports why) is not a failure of the flow; an archive that cannot be read is.
Fed feed_archive(const LocalPackage& package) {
  InstallChild child(InstallChildRequest::onto_target());
  if (!child.started()) {
    out_printf("\nFATAL ERROR: couldn't start install\n");
    return Fed::kMediumFailed;
  }
  int fd = open(root_path(package.path).c_str(), O_RDONLY | O_CLOEXEC);
  char block[kCopyBlock];
  for (;;) {
    // An archive that cannot be opened fails here like one that cannot be read.
    ssize_t n = fd < 0 ? -1 : read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      child.finish();
      if (fd >= 0) close(fd);
      out_printf("\nFATAL ERROR: corrupted CD-ROM\n");
      return Fed::kMediumFailed;
    }
    // A child that stopped reading has ended this package, not the installation.
    if (n == 0 || !child.write(block, size_t(n))) break;
  }
  close(fd);
  return child.finish() ? Fed::kInstalled : Fed::kRefused;
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
  InstallList install;
  build_install_list(packages, install);
  // Everything that can be refused without writing is refused before the questions.
  if (!disk_can_be_prepared(disk) || !check_archives(install)) return false;

  bool keep = ask_yes_no("Do you want to keep old configuration? ");
  out_printf("\nWarning: all data on the disk will be erased!\n\n");
  if (!ask_yes_no("Continue?")) return false;
  out_printf("\n");

  // From here on the disk changes.
  prepare_boot_record(disk.device);
  if (!prepare_disk(system, disk, keep)) return false;
  out_printf("\n");
  for (const LocalPackage* package : install)
    if (feed_archive(*package) == Fed::kMediumFailed) return false;

  int marker = create_target_file("CDINSTALL", 0600, 0755);
  if (marker >= 0) close(marker);
  // The database says what was installed; it is read before the checks unmount the disk.
  std::string missing = not_installed(install);
  post_install(system, disk);
  if (!missing.empty()) {
    out_printf("\n%s\n", missing.c_str());
    return false;
  }
  out_printf("\nSoftware installed.\n");
  return true;
}
