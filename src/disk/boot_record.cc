#include "disk/boot_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "disk/boot_code.h"
#include "disk/device_path.h"
#include "system/output.h"
#include "system/root.h"

namespace {

int open_device(const std::string& device, int flags) {
  if (!valid_device_path(device)) {
    errno = EINVAL;
    return -1;
  }
  return open(root_path(device).c_str(), flags | O_CLOEXEC);
}

}  // namespace

bool read_boot_sector(const std::string& device, unsigned char sector[512]) {
  int fd = open_device(device, O_RDONLY);
  if (fd < 0) {
    print_system_error("could not open MBR", errno);
    return false;
  }
  size_t done = 0;
  errno = 0;
  while (done < kSectorSize) {
    ssize_t n = pread(fd, sector + done, kSectorSize - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  if (done < kSectorSize) {
    // A device that ends early has no error of its own to tell.
    print_system_error("could not read MBR", errno ? errno : EIO);
    close(fd);
    return false;
  }
  close(fd);
  return true;
}

bool write_boot_sector(const std::string& device, const unsigned char sector[512]) {
  int fd = open_device(device, O_WRONLY);
  if (fd < 0) {
    print_system_error("could not open MBR", errno);
    return false;
  }
  size_t done = 0;
  errno = 0;
  while (done < kSectorSize) {
    ssize_t n = pwrite(fd, sector + done, kSectorSize - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  // The partitioning tool reads the sector back next: it must be on the device. (A device
  // that cannot be synchronised at all says EINVAL.)
  if (done < kSectorSize || (fsync(fd) != 0 && errno != EINVAL)) {
    print_system_error("could not write MBR", errno ? errno : EIO);
    close(fd);
    return false;
  }
  close(fd);
  return true;
}

bool prepare_boot_record(const std::string& device) {
  unsigned char sector[kSectorSize];
  if (!read_boot_sector(device, sector)) return false;
  memcpy(sector, kBootCode, kBootCodeSize);
  memset(sector + kBootCodeSize, 0, kPartitionEntries - kBootCodeSize);
  return write_boot_sector(device, sector);
}
