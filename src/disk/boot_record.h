// The first sector of the target disk (the master boot record): bytes 0 to 183 hold the
// installer's boot code, 184 to 445 are zero, and 446 to 511 (the partition entries and the
// signature) belong to the partitioning tool. The device is an installer path under /dev
// (disk/device_path.h), opened through the root prefix; any other path is refused.
#pragma once

#include <string>

constexpr size_t kSectorSize = 512;
constexpr size_t kPartitionEntries = 446;

// Reads the first 512 bytes. On failure prints "could not open MBR" or "could not read MBR"
// with the system error text and returns false.
bool read_boot_sector(const std::string& device, unsigned char sector[512]);

// Writes 512 bytes at offset 0 of an existing device (never creates it). On failure prints
// "could not open MBR" or "could not write MBR" with the system error text.
bool write_boot_sector(const std::string& device, const unsigned char sector[512]);

// Puts the boot code into bytes 0..183, clears 184..445 and keeps 446..511 as read. When the
// sector cannot be read nothing is written. False after one of the messages above.
bool prepare_boot_record(const std::string& device);
