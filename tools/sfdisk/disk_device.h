// A disk as the partitioning tool sees it: a block device or an image file, its size and
// geometry, its sectors, and the kernel's idea of its partitions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "partition_table.h"

class DiskDevice {
 public:
  DiskDevice() = default;
  ~DiskDevice();
  DiskDevice(const DiskDevice&) = delete;
  DiskDevice& operator=(const DiskDevice&) = delete;

  // Opens path (read-only or read-write); "" or an error text.
  std::string open(const std::string& path, bool writable);

  bool is_block_device() const { return block_; }
  // Bytes per logical sector: what the kernel reports for a block device, 512 for an image.
  uint32_t sector_size() const { return sector_size_; }
  // Sectors of 512 bytes on the whole device.
  uint64_t total_sectors() const { return total_sectors_; }
  // The geometry the kernel reports (HDIO_GETGEO) for a block device; 255 heads and 63
  // sectors where it gives none, and always for an image file. heads or sectors override it
  // when not 0.
  Geometry geometry(uint32_t heads, uint32_t sectors) const;

  // "" or an error text.
  std::string read_sector(uint64_t lba, uint8_t sector[kSector]) const;
  std::string write_sector(uint64_t lba, const uint8_t sector[kSector]) const;
  std::string sync() const;

  // Makes the kernel use the partitions in entries (the four primary ones) for a block device:
  // a re-read of the table, then, where the kernel's partitions still differ (a table format
  // it does not read, a partition in use), deleting and adding partitions one by one. ""
  // when the kernel's partitions are the new ones, or an error text.
  std::string update_kernel(const std::vector<PartitionEntry>& entries) const;

 private:
  struct KernelPartition {
    unsigned number;
    uint64_t start, size;
    bool operator==(const KernelPartition& other) const {
      return number == other.number && start == other.start && size == other.size;
    }
  };
  std::string try_update_kernel(const std::vector<PartitionEntry>& entries) const;
  // The partitions the kernel knows of this disk (from /sys); false when it cannot tell.
  bool kernel_partitions(std::vector<KernelPartition>& partitions) const;

  int fd_ = -1;
  bool block_ = false;
  uint64_t total_sectors_ = 0;
  uint64_t device_number_ = 0;
  uint32_t sector_size_ = kSector;
};

// Every whole disk the kernel lists in /proc/partitions, as "/dev/NAME": partitions, empty
// devices, CD-ROMs and RAM, loop and network block devices left out.
std::vector<std::string> list_disks();

// The path of a partition: the disk's path and the number, with a "p" between them when the
// disk's name ends in a digit ("/dev/sda1", "/dev/loop0p1").
std::string partition_name(const std::string& disk, unsigned number);
