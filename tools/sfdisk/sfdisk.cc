// sfdisk: the installation medium's partitioning tool, with the interface the installer
// drives (cylinder units, a plain dump, a geometry listing).
//
//   sfdisk -g [DEVICE...]           "DEVICE: C cylinders, H heads, S sectors/track" for the
//                                   given disks, or for every disk the kernel lists
//   sfdisk -d [-uC] DEVICE          the partition entries, one line each, in sectors
//   sfdisk [-q] [-uC|-uS] DEVICE    a new partition table from "start,size,type,bootable"
//                                   lines on standard input (cylinders unless -uS)
//   -H HEADS, -S SECTORS            override the geometry
//
// Writing keeps bytes 0 to 445 of the first sector (the boot code) and replaces the four
// entries and the signature; a GPT header in sector 1 or in the last sector is cleared, so
// that no program takes the disk for a GPT disk any more; on a block device the kernel is
// then told the new partitions. Only disks of 512-byte sectors are written.
// Exit status 0 on success, 1 on any error (with a message on standard error).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "disk_device.h"
#include "partition_table.h"

namespace {

struct Options {
  char mode = 'w';  // 'g' listing, 'd' dump, 'w' write
  bool quiet = false;
  bool in_sectors = false;
  uint32_t heads = 0, sectors = 0;
  std::vector<std::string> devices;
};

int usage() {
  fprintf(stderr,
          "usage: sfdisk -g [DEVICE...]\n"
          "       sfdisk -d [-uC] DEVICE\n"
          "       sfdisk [-q] [-uC|-uS] [-H HEADS] [-S SECTORS] DEVICE < lines\n");
  return 1;
}

int fail(const std::string& device, const std::string& text) {
  fprintf(stderr, "sfdisk: %s: %s\n", device.c_str(), text.c_str());
  return 1;
}

int list_geometry(const Options& options) {
  std::vector<std::string> devices = options.devices.empty() ? list_disks() : options.devices;
  int status = 0;
  for (const auto& device : devices) {
    DiskDevice disk;
    std::string error = disk.open(device, false);
    if (!error.empty()) {
      status = fail(device, error);
      continue;
    }
    Geometry g = disk.geometry(options.heads, options.sectors);
    uint64_t cylinders = g.cylinders();
    if (cylinders > UINT32_MAX) cylinders = UINT32_MAX;
    printf("%s: %" PRIu64 " cylinders, %" PRIu32 " heads, %" PRIu32 " sectors/track\n",
           device.c_str(), cylinders, g.heads, g.sectors);
  }
  return status;
}

void print_entry(const std::string& device, unsigned number, const PartitionEntry& entry) {
  printf("%s : start=%10" PRIu32 ", size=%10" PRIu32 ", Id=%2x%s\n",
         partition_name(device, number).c_str(), entry.start, entry.size, entry.type,
         entry.flag == 0x80 ? ", bootable" : "");
}

int dump(const std::string& device, const DiskDevice& disk) {
  uint8_t sector[kSector];
  std::string error = disk.read_sector(0, sector);
  if (!error.empty()) return fail(device, error);
  printf("# partition table of %s\nunit: sectors\n\n", device.c_str());
  if (!has_signature(sector)) return 0;  // no table: no entries
  std::vector<PartitionEntry> extended;
  for (unsigned i = 0; i < 4; ++i) {
    PartitionEntry entry = decode_entry(sector + kEntriesOffset + 16 * i);
    print_entry(device, i + 1, entry);
    if (is_extended(entry.type) && entry.size) extended.push_back(entry);
  }
  // Logical partitions: each extended boot record holds one, and a link to the next record
  // (relative to the start of the extended partition).
  unsigned number = 5;
  for (const auto& container : extended) {
    std::set<uint64_t> seen;
    uint64_t record = container.start;
    while (seen.insert(record).second && seen.size() <= 128) {
      uint8_t table[kSector];
      if (!disk.read_sector(record, table).empty() || !has_signature(table)) break;
      PartitionEntry logical = decode_entry(table + kEntriesOffset);
      PartitionEntry link = decode_entry(table + kEntriesOffset + 16);
      if (!logical.empty()) logical.start = uint32_t(record + logical.start);
      print_entry(device, number++, logical);
      if (!is_extended(link.type) || link.size == 0) break;
      record = uint64_t(container.start) + link.start;
    }
  }
  return 0;
}

// A GPT header ("EFI PART") left at lba, replaced by zeros. Tools that find one (in sector 1,
// or its copy in the last sector) read the disk as GPT and ignore the new table.
std::string clear_gpt_header(const DiskDevice& disk, uint64_t lba) {
  static const char kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
  uint8_t sector[kSector];
  if (!disk.read_sector(lba, sector).empty() || memcmp(sector, kSignature, sizeof kSignature) != 0)
    return "";
  memset(sector, 0, sizeof sector);
  return disk.write_sector(lba, sector);
}

int write_table(const Options& options, const std::string& device, DiskDevice& disk) {
  // The table's units are sectors of 512 bytes: on a disk of larger sectors every entry
  // would name the wrong place.
  if (disk.sector_size() != kSector)
    return fail(device, "sectors of " + std::to_string(disk.sector_size()) +
                            " bytes are not supported");
  Geometry g = disk.geometry(options.heads, options.sectors);
  if (g.cylinders() == 0 && !options.in_sectors)
    return fail(device, "the disk is smaller than one cylinder");
  std::vector<PartitionEntry> entries;
  std::string line;
  unsigned line_number = 0;
  while (std::getline(std::cin, line)) {
    ++line_number;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    PartitionEntry entry;
    std::string error = parse_script_line(line, g, options.in_sectors, entry);
    if (!error.empty()) return fail(device, "line " + std::to_string(line_number) + ": " + error);
    if (entries.size() >= 4) {
      // Lines past the fourth would be logical partitions; only empty ones are accepted.
      if (!entry.empty()) return fail(device, "logical partitions are not supported");
      continue;
    }
    entries.push_back(entry);
  }
  if (entries.empty()) return fail(device, "no partition lines on standard input");
  entries.resize(4);
  std::string error = check_entries(entries, g, options.in_sectors);
  if (!error.empty()) return fail(device, error);

  uint8_t sector[kSector];
  error = disk.read_sector(0, sector);
  if (!error.empty()) return fail(device, error);
  for (unsigned i = 0; i < 4; ++i) encode_entry(entries[i], g, sector + kEntriesOffset + 16 * i);
  sector[510] = 0x55;
  sector[511] = 0xaa;
  error = disk.write_sector(0, sector);
  if (error.empty()) error = clear_gpt_header(disk, 1);
  if (error.empty() && disk.total_sectors() > 2)
    error = clear_gpt_header(disk, disk.total_sectors() - 1);
  if (error.empty()) error = disk.sync();
  if (error.empty()) error = disk.update_kernel(entries);
  if (!error.empty()) return fail(device, error);
  if (!options.quiet) {
    DiskDevice reread;
    if (reread.open(device, false).empty()) dump(device, reread);
  }
  return 0;
}

bool parse_count(const char* text, uint32_t* value) {
  char* end;
  unsigned long v = strtoul(text, &end, 10);
  if (!*text || *end || v == 0 || v > 65535) return false;
  *value = uint32_t(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-g" || arg == "-d") options.mode = arg[1];
    else if (arg == "-q") options.quiet = true;
    else if (arg == "-uC") options.in_sectors = false;
    else if (arg == "-uS") options.in_sectors = true;
    else if ((arg == "-H" || arg == "-S") && i + 1 < argc) {
      if (!parse_count(argv[++i], arg == "-H" ? &options.heads : &options.sectors)) return usage();
    } else if (!arg.empty() && arg[0] != '-') options.devices.push_back(arg);
    else return usage();
  }
  if (options.heads > 255 || options.sectors > 63) return usage();
  if (options.mode == 'g') return list_geometry(options);
  if (options.devices.size() != 1) return usage();

  const std::string& device = options.devices[0];
  DiskDevice disk;
  std::string error = disk.open(device, options.mode == 'w');
  if (!error.empty()) return fail(device, error);
  return options.mode == 'd' ? dump(device, disk) : write_table(options, device, disk);
}
