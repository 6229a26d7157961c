// The MBR partition table: four 16-byte entries at offset 446 of the first sector and the
// signature 0xaa55 at 510; extended partitions chain further tables (one logical partition
// each) through the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kSector = 512;
constexpr size_t kEntriesOffset = 446;

struct Geometry {
  uint32_t heads = 255;
  uint32_t sectors = 63;          // per track
  uint64_t total_sectors = 0;     // of the whole device
  uint64_t cylinder_sectors() const { return uint64_t(heads) * sectors; }
  uint64_t cylinders() const { return total_sectors / cylinder_sectors(); }
};

struct PartitionEntry {
  uint8_t flag = 0;   // 0x80 bootable
  uint8_t type = 0;   // 0: empty
  uint32_t start = 0; // first sector (LBA)
  uint32_t size = 0;  // sectors
  bool empty() const { return type == 0 && size == 0; }
};

bool has_signature(const uint8_t sector[kSector]);
PartitionEntry decode_entry(const uint8_t bytes[16]);
// Writes the entry with its CHS fields computed from geometry (cylinders past 1023 are given
// as 1023 with the last head and sector, as BIOSes expect); an empty entry is all zero.
void encode_entry(const PartitionEntry& entry, const Geometry& geometry, uint8_t bytes[16]);

bool is_extended(uint8_t type);

// One line of the partitioning script, "start,size[,type[,bootable]]" ("*" bootable, "-" not;
// type in hex, 83 when left out). Units are cylinders, or sectors with in_sectors. Entries
// start on a cylinder boundary, except that cylinder 0 begins after the first track, which
// the boot record keeps. Returns an error text, or "" when the line was turned into entry.
std::string parse_script_line(const std::string& line, const Geometry& geometry,
                              bool in_sectors, PartitionEntry& entry);

// Checks that non-empty entries fit the device and do not overlap; "" or an error text.
std::string check_entries(const std::vector<PartitionEntry>& entries, const Geometry& geometry,
                          bool in_sectors);
