#include "disk/partition_layout.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>

#include "disk/device_path.h"
#include "system/output.h"

namespace {

constexpr uint32_t kBootPartitionBytes = 10485760;  // 10 MiB
constexpr uint64_t kTableSectors = uint64_t(1) << 32;  // what a table entry can address

struct Entry {
  uint64_t start = 0, size = 0;
  unsigned type = 0;
  bool bootable = false;
};

// Parses "PARTITION : start= S, size= N, Id=T[, bootable]" for a partition of device (named
// as partition_path() names it); false for anything else.
bool parse_dump_line(const std::string& device, const std::string& line, unsigned* number,
                     Entry* entry) {
  // What precedes the number in a partition's name: the device, and "p" after a digit.
  std::string stem = partition_path(device, 0);
  stem.pop_back();
  if (line.compare(0, stem.size(), stem) != 0) return false;
  const char* rest = line.c_str() + stem.size();
  if (*rest < '0' || *rest > '9') return false;
  char tail[32] = "";
  int used = 0;
  if (sscanf(rest, "%u : start=%" SCNu64 ", size=%" SCNu64 ", Id=%x%n", number, &entry->start,
             &entry->size, &entry->type, &used) != 4)
    return false;
  sscanf(rest + used, "%31[^\n]", tail);
  if (strcmp(tail, ", bootable") == 0) entry->bootable = true;
  else if (tail[0] != '\0') return false;
  return true;
}

}  // namespace

uint32_t boot_cylinders(const TargetDisk& disk) {
  if (disk.cylinder_size == 0) return 0;
  return (disk.cylinder_size + (kBootPartitionBytes - 1)) / disk.cylinder_size;
}

uint32_t layout_cylinders(const TargetDisk& disk) {
  uint64_t cylinder_sectors = disk.cylinder_size / 512;
  if (cylinder_sectors == 0) return disk.cylinders;
  uint64_t fit = kTableSectors / cylinder_sectors;
  return fit < disk.cylinders ? uint32_t(fit) : disk.cylinders;
}

bool layout_fits(const TargetDisk& disk) {
  if (disk.cylinders == 0 || disk.cylinder_size < 512) {
    out_printf("ERROR: could not create partitions - the disk is smaller than one cylinder\n");
    return false;
  }
  uint32_t boot = boot_cylinders(disk);
  uint32_t cylinders = layout_cylinders(disk);
  if (disk.over_1023_cylinders && boot >= cylinders) {
    out_printf(
        "ERROR: could not create partitions - a boot partition of %" PRIu32
        " cylinders leaves no room on a disk of %" PRIu32 " cylinders\n",
        boot, cylinders);
    return false;
  }
  return true;
}

std::string partition_script(const TargetDisk& disk, unsigned old_entries) {
  const uint32_t cylinders = layout_cylinders(disk);
  char line[64];
  std::string script;
  unsigned written;
  if (disk.over_1023_cylinders) {
    uint32_t boot = boot_cylinders(disk);
    snprintf(line, sizeof line, "0,%d,83,*\n", int(boot));
    script += line;
    snprintf(line, sizeof line, "%d,%d,83,-\n", int(boot), int(cylinders - boot));
    script += line;
    written = 2;
  } else {
    snprintf(line, sizeof line, "0,%d,83,*\n", int(cylinders));
    script += line;
    written = 1;
  }
  for (unsigned n = written; n < old_entries; ++n) script += "0,0,0\n";
  return script;
}

bool table_holds_layout(const TargetDisk& disk, const std::vector<std::string>& dump_lines) {
  const uint64_t cylinder = disk.cylinder_size / 512;
  std::map<unsigned, Entry> entries;
  for (const auto& line : dump_lines) {
    unsigned number;
    Entry entry;
    if (!parse_dump_line(disk.device, line, &number, &entry)) continue;
    // A number out of range, or listed twice: not the table that was written.
    if (number < 1 || number > 4 || !entries.emplace(number, entry).second) return false;
  }
  const uint64_t cylinders = layout_cylinders(disk);
  uint64_t boot = disk.over_1023_cylinders ? boot_cylinders(disk) : cylinders;
  auto first = entries.find(1);
  if (first == entries.end()) return false;
  const Entry& p1 = first->second;
  // Partition 1 leaves its first track (within the first cylinder) to the boot record.
  if (p1.start == 0 || p1.start >= cylinder || p1.start + p1.size != boot * cylinder ||
      p1.type != 0x83 || !p1.bootable)
    return false;
  unsigned used = 1;
  if (disk.over_1023_cylinders) {
    auto second = entries.find(2);
    if (second == entries.end()) return false;
    const Entry& p2 = second->second;
    if (p2.start != boot * cylinder || p2.size != (cylinders - boot) * cylinder ||
        p2.type != 0x83 || p2.bootable)
      return false;
    used = 2;
  }
  for (const auto& [number, entry] : entries)
    if (number > used && (entry.size != 0 || entry.type != 0 || entry.bootable)) return false;
  return true;
}
