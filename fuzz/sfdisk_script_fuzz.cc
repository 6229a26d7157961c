// The medium partitioning tool's script: lines "start,size[,type[,bootable]]" parsed against
// a geometry from the fuzz input (heads 1-255, sectors per track 1-255, any size), checked
// and encoded into the four table entries as the tool writes them. Checked against an
// independent reading: an accepted table fits the disk and has no overlaps, entries stay
// off the boot record's first track, and every encoded entry decodes to what was parsed.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "partition_table.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) oracle_failure("sfdisk_script", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  Geometry g;
  g.heads = in.u8() % 255 + 1;
  g.sectors = in.u8() % 255 + 1;
  uint8_t flags = in.u8();
  g.total_sectors = flags & 1 ? uint64_t(in.u32()) << (in.u8() % 24) : in.u32();
  bool in_sectors = flags & 2;
  std::string script(in.rest());

  std::vector<PartitionEntry> entries;
  size_t start = 0;
  while (start < script.size()) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    start = end + 1;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    PartitionEntry entry;
    if (!parse_script_line(line, g, in_sectors, entry).empty()) return 0;
    if (!entry.empty()) {
      check(entry.size > 0 && entry.type != 0, "a non-empty entry without size or type");
      check(entry.start >= (in_sectors ? 1u : g.sectors), "an entry in the boot record's track");
      check(uint64_t(entry.start) + entry.size <= (uint64_t(1) << 32),
            "an entry beyond what the table addresses");
      if (!in_sectors)
        check(entry.start == g.sectors || entry.start % g.cylinder_sectors() == 0,
              "an entry off a cylinder boundary");
    }
    if (entries.size() >= 4) {
      if (!entry.empty()) return 0;
      continue;
    }
    entries.push_back(entry);
  }
  if (entries.empty()) return 0;
  entries.resize(4);
  if (!check_entries(entries, g, in_sectors).empty()) return 0;
  uint64_t limit = in_sectors ? g.total_sectors : g.cylinders() * g.cylinder_sectors();
  for (size_t i = 0; i < 4; ++i) {
    const PartitionEntry& a = entries[i];
    if (a.empty()) continue;
    check(uint64_t(a.start) + a.size <= limit, "an accepted entry does not fit the disk");
    for (size_t j = 0; j < i; ++j) {
      const PartitionEntry& b = entries[j];
      if (b.empty()) continue;
      check(uint64_t(a.start) + a.size <= b.start || uint64_t(b.start) + b.size <= a.start,
            "accepted entries overlap");
    }
  }
  uint8_t sector[kSector];
  memset(sector, 0, sizeof sector);
  for (size_t i = 0; i < 4; ++i) encode_entry(entries[i], g, sector + kEntriesOffset + 16 * i);
  for (size_t i = 0; i < 4; ++i) {
    PartitionEntry back = decode_entry(sector + kEntriesOffset + 16 * i);
    const PartitionEntry& a = entries[i];
    check(back.flag == a.flag && back.type == a.type && back.start == a.start &&
              back.size == a.size,
          "an entry does not decode to what was encoded");
    if (a.empty()) continue;
    const uint8_t* e = sector + kEntriesOffset + 16 * i;
    check((e[2] & 0x3F) >= 1 && (e[6] & 0x3F) >= 1, "a CHS sector number of 0");
  }
  return 0;
}
