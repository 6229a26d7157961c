#include "flows/hard_disk_install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "disk/boot_record.h"
#include "disk/drive_detection.h"
#include "disk/post_install.h"
#include "disk/prepare_disk.h"
#include "disk/target_disk.h"
#include "flows/archive_buffer.h"
#include "flows/archive_check.h"
#include "flows/package_discovery.h"
#include "flows/selection_check.h"
#include "frontend/console.h"
#include "frontend/kernel_modules.h"
#include "pkgmgr/install_child.h"
#include "pkgmgr/version.h"
#include "system/fd_stream.h"
#include "system/memory.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"
#include "system/target_file.h"

namespace {

const char* const kSourceDevices[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd",
                                      "/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd",
                                      "/dev/sde", "/dev/sdf", "/dev/sdg", "/dev/sdh", nullptr};
constexpr int kSearchPasses = 20;
constexpr size_t kScannedDrives = 4;
constexpr uint32_t kStreamBlock = 4096;
constexpr size_t kBootSectorSize = 512;
constexpr uint64_t kMemoryReserve = 16u << 20;

bool exists(const char* path) {
  struct stat status;
  return stat(root_path(path).c_str(), &status) == 0;
}

// Mounts the first candidate that holds both "mbr" and "autorun.scr" on /floppy, pass after
// pass, and returns its path; null when none did within the passes.
const char* mount_source_disk(System& system) {
  std::string medium = root_path("/floppy");
  for (int pass = 0; pass < kSearchPasses; ++pass) {
    for (const char* const* device = kSourceDevices; *device; ++device) {
      if (system.mount(root_path(*device).c_str(), medium.c_str(), "vfat", 0, nullptr) != 0)
        continue;
      if (exists("/floppy/mbr") && exists("/floppy/autorun.scr")) return *device;
      system.umount(medium.c_str());
    }
    // The progress dots' alarm cuts a sleep short: sleep out the rest once more.
    unsigned left = system.sleep(1);
    if (left > 0) system.sleep(left);
  }
  return nullptr;
}

bool can_read(const char* path) {
  int fd = open(root_path(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Whether the archives and the configuration script, which are all held in memory at once,
// fit into the memory that is left; otherwise says so. A run that asked for more would be
// ended by the kernel, and with it the machine, the installer being its first process.
bool fits_in_memory(const InstallList& install) {
  uint64_t needed = 0;
  struct stat status;
  for (const LocalPackage* package : install)
    if (stat(root_path(package->path).c_str(), &status) == 0 && status.st_size > 0)
      needed += uint64_t(status.st_size);
  if (stat(root_path("/floppy/autorun.scr").c_str(), &status) == 0 && status.st_size > 0)
    needed += uint64_t(status.st_size);
  uint64_t free_bytes = available_memory();
  // Room is left for the installation children and the tools that run meanwhile.
  if (needed + kMemoryReserve <= free_bytes) return true;
  out_printf("\nFATAL ERROR: not enough memory to hold the packages: %llu MiB needed, %llu MiB "
             "free\n",
             (unsigned long long)((needed + kMemoryReserve + (1 << 20) - 1) >> 20),
             (unsigned long long)(free_bytes >> 20));
  return false;
}

// Reads every archive of the install list into its buffer and checks it, while the disk is
// still untouched. False after the failure's message.
bool read_archives(const InstallList& install, std::array<ArchiveBuffer, kMaxArchives>& buffers) {
  if (install.size() > buffers.size()) {
    out_printf("\nFATAL ERROR: %zu packages chosen, at most %zu can be installed from a hard "
               "disk\n",
               install.size(), buffers.size());
    return false;
  }
  if (!fits_in_memory(install)) return false;
  for (size_t i = 0; i < install.size(); ++i) {
    const LocalPackage& package = *install[i];
    out_printf("Reading: %s...", package_label(package).c_str());
    begin_progress("");
    if (!read_whole_file(buffers[i], package.path)) {
      end_progress();
      out_printf("\nFATAL ERROR: could not read file %s\n", package.path.c_str());
      return false;
    }
    // The disk that holds this archive is about to be rewritten: one that would be refused
    // during the installation must be refused now, while the machine still has its medium.
    bool sound = archive_is_sound(buffers[i].data.get(), buffers[i].size);
    end_progress();
    if (!sound) {
      out_printf("\nFATAL ERROR: Bad package %s: damaged or not genuine\n",
                 package_label(package).c_str());
      return false;
    }
  }
  return true;
}

bool read_boot_record_file(char sector[kBootSectorSize]) {
  int fd = open(root_path("/floppy/mbr").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out_printf("\nFATAL ERROR: Couldn't open mbr file\n");
    return false;
  }
  ssize_t n = read(fd, sector, kBootSectorSize);
  close(fd);
  if (n != ssize_t(kBootSectorSize)) {
    out_printf("\nFATAL ERROR: Couldn't read mbr file\n");
    return false;
  }
  return true;
}

bool write_boot_record(const char* device, const char sector[kBootSectorSize]) {
  int fd = open(root_path(device).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    out_printf("\nFATAL ERROR: Couldn't open disk\n");
    return false;
  }
  ssize_t n = write(fd, sector, kBootSectorSize);
  close(fd);
  if (n != ssize_t(kBootSectorSize)) {
    out_printf("\nFATAL ERROR: Couldn't write to disk\n");
    return false;
  }
  return true;
}

// Copies the source disk's record of the drive scan into disk.
bool find_scanned_disk(System& system, const char* device, TargetDisk& disk) {
  const TargetDisk* drives = scan_drives(system);
  for (size_t i = 0; drives && i < kScannedDrives; ++i) {
    if (drives[i].device == device) {
      disk = drives[i];
      return true;
    }
  }
  out_printf("\nFATAL ERROR: Couldn't find the disk!\n");
  return false;
}

// Streams one archive from memory into a new installation child and releases its block. False
// only when no child could be started; a package the child refuses (it reports why), or a
// child that stopped reading, ends that package alone.
bool stream_archive(ArchiveBuffer& buffer) {
  InstallChild child(InstallChildRequest::onto_target());
  if (!child.started()) {
    out_printf("\nFATAL ERROR: Couldn't start install\n");
    return false;
  }
  for (;;) {
    uint32_t chunk = buffer.size - buffer.position;
    if (chunk > kStreamBlock) chunk = kStreamBlock;
    if (chunk == 0) break;
    const char* from = buffer.data.get() + buffer.position;
    buffer.position += chunk;
    if (!child.write(from, chunk)) break;
  }
  child.finish();  // what was installed is read from the database at the end
  buffer.clear();
  return true;
}

bool write_configuration(const ArchiveBuffer& config) {
  int fd = create_target_file("rw/autorun.scr", 0644, 0666);
  if (fd < 0) {
    out_printf("\nFATAL ERROR: couldn't make script\n");
    return false;
  }
  bool ok = config.size == 0 || write_all(fd, config.data.get(), config.size) == 0;
  close(fd);
  if (!ok) out_printf("\nFATAL ERROR: Writing configuration failed\n");
  return ok;
}

}  // namespace

bool install_from_hard_disk(System& system, TargetDisk& disk) {
  show_banner("hard disk installation");
  out_printf("\nLoading drivers\n");
  load_kernel_module_list(system, storage_module_list);
  load_kernel_module_list(system, usb_module_list);

  begin_progress("Looking for harddrives...");
  const char* source = mount_source_disk(system);
  end_progress();
  if (!source) {
    out_printf("\nFATAL ERROR: No hard disk found\n");
    return false;
  }
  bool choose = can_read("/floppy/CHOOSE");

  PackageList packages;
  if (!discover_packages(packages)) return false;
  if (choose) {
    if (!choose_packages(packages)) {
      out_printf("Installation canceled\n");
      return false;
    }
  } else {
    for (auto& package : packages) package->selected = true;
  }
  InstallList install;
  build_install_list(packages, install);

  std::array<ArchiveBuffer, kMaxArchives> archives;
  if (!read_archives(install, archives)) return false;
  // A selection the rules would refuse is refused while the medium is still whole: this run
  // has nobody to ask.
  if (!plan_selection(install, true)) return false;
  ArchiveBuffer config;
  if (!read_whole_file(config, "/floppy/autorun.scr")) {
    out_printf("\nFATAL ERROR: could not read configuration\n");
    return false;
  }
  char boot_record[kBootSectorSize];
  if (!choose && !read_boot_record_file(boot_record)) return false;
  system.umount(root_path("/floppy").c_str());
  // The disk is the medium: whatever the disk steps can refuse is refused before its first
  // sector is rewritten.
  if (!find_scanned_disk(system, source, disk) || !disk_can_be_prepared(disk)) return false;

  // From here on the disk changes.
  if (!choose && !write_boot_record(source, boot_record)) return false;
  prepare_boot_record(source);
  out_printf("\n");
  if (!prepare_disk(system, disk, false)) return false;
  out_printf("\n");
  for (size_t i = 0; i < install.size(); ++i)
    if (!stream_archive(archives[i])) return false;

  if (!write_configuration(config)) return false;
  std::string missing = not_installed(install);
  post_install(system, disk);
  if (!missing.empty()) {
    out_printf("\n%s\n", missing.c_str());
    return false;
  }
  out_printf("\nSoftware installed.\n");
  system.sleep(2);
  return true;
}
