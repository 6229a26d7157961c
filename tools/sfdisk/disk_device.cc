#include "disk_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

std::string error_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

std::string read_word(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  in >> word;
  return word;
}

}  // namespace

DiskDevice::~DiskDevice() {
  if (fd_ >= 0) close(fd_);
}

std::string DiskDevice::open(const std::string& path, bool writable) {
  fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd_ < 0) return error_text("cannot open");
  struct stat st;
  if (fstat(fd_, &st) != 0) return error_text("cannot get its status");
  if (S_ISBLK(st.st_mode)) {
    block_ = true;
    device_number_ = st.st_rdev;
    uint64_t bytes;
    if (ioctl(fd_, BLKGETSIZE64, &bytes) != 0) return error_text("cannot get its size");
    int logical = 0;
    if (ioctl(fd_, BLKSSZGET, &logical) == 0 && logical > 0) sector_size_ = uint32_t(logical);
    total_sectors_ = bytes / kSector;
  } else if (S_ISREG(st.st_mode)) {
    total_sectors_ = uint64_t(st.st_size) / kSector;
  } else {
    return "neither a block device nor a disk image";
  }
  return "";
}

Geometry DiskDevice::geometry(uint32_t heads, uint32_t sectors) const {
  Geometry g;
  struct hd_geometry reported = {};
  if (block_ && ioctl(fd_, HDIO_GETGEO, &reported) == 0 && reported.heads && reported.sectors) {
    g.heads = reported.heads;
    g.sectors = reported.sectors;
  }
  if (heads) g.heads = heads;
  if (sectors) g.sectors = sectors;
  g.total_sectors = total_sectors_;
  return g;
}

std::string DiskDevice::read_sector(uint64_t lba, uint8_t sector[kSector]) const {
  ssize_t n = pread(fd_, sector, kSector, off_t(lba * kSector));
  if (n == ssize_t(kSector)) return "";
  if (n < 0) return error_text("cannot read");
  return "cannot read: the disk ends early";
}

std::string DiskDevice::write_sector(uint64_t lba, const uint8_t sector[kSector]) const {
  ssize_t n = pwrite(fd_, sector, kSector, off_t(lba * kSector));
  if (n == ssize_t(kSector)) return "";
  if (n < 0) return error_text("cannot write");
  return "cannot write: the disk ends early";
}

std::string DiskDevice::sync() const {
  if (fsync(fd_) != 0) return error_text("cannot write");
  return "";
}

bool DiskDevice::kernel_partitions(std::vector<KernelPartition>& partitions) const {
  char dir_path[64];
  snprintf(dir_path, sizeof dir_path, "/sys/dev/block/%u:%u", major(device_number_),
           minor(device_number_));
  DIR* dir = opendir(dir_path);
  if (!dir) return false;
  while (struct dirent* entry = readdir(dir)) {
    std::string base = std::string(dir_path) + "/" + entry->d_name;
    std::string number = read_word(base + "/partition");
    if (number.empty()) continue;
    KernelPartition p;
    p.number = unsigned(strtoul(number.c_str(), nullptr, 10));
    p.start = strtoull(read_word(base + "/start").c_str(), nullptr, 10);
    p.size = strtoull(read_word(base + "/size").c_str(), nullptr, 10);
    partitions.push_back(p);
  }
  closedir(dir);
  return true;
}

std::string DiskDevice::update_kernel(const std::vector<PartitionEntry>& entries) const {
  // A partition that another program has open for a moment (udev probing a new partition)
  // makes the kernel refuse with EBUSY; a mounted one keeps refusing.
  std::string error;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (attempt) usleep(100000);
    errno = 0;
    error = try_update_kernel(entries);
    if (error.empty() || errno != EBUSY) break;
  }
  return error;
}

std::string DiskDevice::try_update_kernel(const std::vector<PartitionEntry>& entries) const {
  if (!block_) return "";
  std::vector<KernelPartition> wanted;
  for (size_t i = 0; i < entries.size(); ++i)
    if (!entries[i].empty()) wanted.push_back({unsigned(i + 1), entries[i].start, entries[i].size});
  auto by_number = [](const KernelPartition& a, const KernelPartition& b) {
    return a.number < b.number;
  };

  bool reread = ioctl(fd_, BLKRRPART) == 0;
  int reread_error = errno;
  std::vector<KernelPartition> known;
  if (!kernel_partitions(known)) {
    // Without /sys only the re-read can tell.
    errno = reread_error;
    return reread ? "" : error_text("the kernel still uses the old partition table");
  }
  std::sort(known.begin(), known.end(), by_number);
  if (known == wanted) return "";

  // One partition at a time, as far as the kernel lets us.
  for (const auto& p : known) {
    bool keep = std::find(wanted.begin(), wanted.end(), p) != wanted.end();
    if (keep) continue;
    struct blkpg_partition part = {};
    part.pno = int(p.number);
    struct blkpg_ioctl_arg arg = {};
    arg.op = BLKPG_DEL_PARTITION;
    arg.datalen = sizeof part;
    arg.data = &part;
    if (ioctl(fd_, BLKPG, &arg) != 0)
      return error_text("the kernel still uses the old partition table");
  }
  for (const auto& p : wanted) {
    if (std::find(known.begin(), known.end(), p) != known.end()) continue;
    struct blkpg_partition part = {};
    part.pno = int(p.number);
    part.start = (long long)(p.start * kSector);
    part.length = (long long)(p.size * kSector);
    struct blkpg_ioctl_arg arg = {};
    arg.op = BLKPG_ADD_PARTITION;
    arg.datalen = sizeof part;
    arg.data = &part;
    if (ioctl(fd_, BLKPG, &arg) != 0)
      return error_text("the kernel does not take the new partitions");
  }
  known.clear();
  if (!kernel_partitions(known)) return "cannot read the kernel's partitions back";
  std::sort(known.begin(), known.end(), by_number);
  if (known != wanted) return "the kernel does not use the new partition table";
  return "";
}

std::vector<std::string> list_disks() {
  static const char* const kSkipped[] = {"ram", "loop", "zram", "sr", "fd", "nbd", "md", "dm-"};
  std::vector<std::string> disks;
  std::ifstream partitions("/proc/partitions");
  std::string line;
  bool have_sys = access("/sys/block", F_OK) == 0;
  while (std::getline(partitions, line)) {
    unsigned major_number, minor_number;
    unsigned long long blocks;
    char name[64];
    if (sscanf(line.c_str(), "%u %u %llu %63s", &major_number, &minor_number, &blocks, name) != 4)
      continue;
    std::string sys_name = name;  // "cciss!c0d0" in /sys is "cciss/c0d0" in /dev
    std::string dev_name = name;
    std::replace(dev_name.begin(), dev_name.end(), '!', '/');
    std::replace(sys_name.begin(), sys_name.end(), '/', '!');
    if (blocks == 0) continue;
    bool skipped = false;
    for (const char* prefix : kSkipped)
      if (dev_name.compare(0, strlen(prefix), prefix) == 0) skipped = true;
    if (skipped) continue;
    if (have_sys) {
      std::string base = "/sys/block/" + sys_name;
      if (access(base.c_str(), F_OK) != 0) continue;  // a partition
      if (read_word(base + "/device/media") == "cdrom") continue;
      if (read_word(base + "/device/type") == "5") continue;  // a SCSI CD-ROM
    } else if (isdigit(static_cast<unsigned char>(dev_name.back()))) {
      continue;  // without /sys, a name ending in a digit is taken for a partition
    }
    disks.push_back("/dev/" + dev_name);
  }
  return disks;
}

std::string partition_name(const std::string& disk, unsigned number) {
  bool digit = !disk.empty() && isdigit(static_cast<unsigned char>(disk.back()));
  return disk + (digit ? "p" : "") + std::to_string(number);
}
