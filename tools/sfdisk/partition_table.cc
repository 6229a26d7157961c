#include "partition_table.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void encode_chs(uint64_t lba, const Geometry& g, uint8_t out[3]) {
  uint64_t cylinder = lba / g.cylinder_sectors();
  uint32_t head = uint32_t(lba / g.sectors % g.heads);
  uint32_t sector = uint32_t(lba % g.sectors) + 1;
  if (cylinder > 1023 || g.heads > 255 || g.sectors > 63) {
    cylinder = 1023;
    head = g.heads > 255 ? 254 : g.heads - 1;
    sector = g.sectors > 63 ? 63 : g.sectors;
  }
  out[0] = uint8_t(head);
  out[1] = uint8_t(sector | ((cylinder >> 8) << 6));
  out[2] = uint8_t(cylinder);
}

bool parse_number(const std::string& text, int base, uint64_t* value) {
  if (text.empty() || !isxdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end;
  unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno || *end) return false;
  *value = v;
  return true;
}

}  // namespace

bool has_signature(const uint8_t sector[kSector]) {
  return sector[510] == 0x55 && sector[511] == 0xaa;
}

PartitionEntry decode_entry(const uint8_t bytes[16]) {
  PartitionEntry entry;
  entry.flag = bytes[0];
  entry.type = bytes[4];
  entry.start = get32(bytes + 8);
  entry.size = get32(bytes + 12);
  return entry;
}

void encode_entry(const PartitionEntry& entry, const Geometry& geometry, uint8_t bytes[16]) {
  memset(bytes, 0, 16);
  if (entry.empty()) return;
  bytes[0] = entry.flag;
  encode_chs(entry.start, geometry, bytes + 1);
  bytes[4] = entry.type;
  encode_chs(uint64_t(entry.start) + entry.size - 1, geometry, bytes + 5);
  put32(bytes + 8, entry.start);
  put32(bytes + 12, entry.size);
}

bool is_extended(uint8_t type) { return type == 0x05 || type == 0x0f || type == 0x85; }

std::string parse_script_line(const std::string& line, const Geometry& geometry,
                              bool in_sectors, PartitionEntry& entry) {
  // Fields are separated by commas (blanks around them do not count) or, in a line without
  // commas, by blanks.
  bool commas = line.find(',') != std::string::npos;
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',' || (!commas && isblank(static_cast<unsigned char>(c)))) {
      if (commas || !fields.back().empty()) fields.emplace_back();
    } else if (!isspace(static_cast<unsigned char>(c))) {
      fields.back().push_back(c);
    }
  }
  while (!fields.empty() && fields.back().empty()) fields.pop_back();
  if (fields.size() < 2 || fields.size() > 4) return "expected start,size,type,bootable";

  uint64_t start, size, type = 0x83;
  if (!parse_number(fields[0], 10, &start) || !parse_number(fields[1], 10, &size))
    return "bad start or size";
  if (fields.size() > 2 && !fields[2].empty() && !parse_number(fields[2], 16, &type))
    return "bad partition type";
  bool bootable = false;
  if (fields.size() > 3) {
    if (fields[3] == "*") bootable = true;
    else if (fields[3] != "-") return "the bootable field must be * or -";
  }
  entry = PartitionEntry();
  if (size == 0) return "";  // an empty entry
  if (type == 0 || type > 0xff) return "bad partition type";

  uint64_t unit = in_sectors ? 1 : geometry.cylinder_sectors();
  if (start > UINT64_MAX / unit || size > UINT64_MAX / unit - start) return "partition too large";
  uint64_t first = start * unit, end = (start + size) * unit;
  if (first == 0) {
    if (in_sectors) return "a partition cannot begin in the boot record";
    first = geometry.sectors;  // the first track stays with the boot record
    if (end <= first) return "partition too small";
  }
  if (end > (uint64_t(1) << 32)) return "partition beyond what the table can address";
  entry.flag = bootable ? 0x80 : 0;
  entry.type = uint8_t(type);
  entry.start = uint32_t(first);
  entry.size = uint32_t(end - first);
  return "";
}

std::string check_entries(const std::vector<PartitionEntry>& entries, const Geometry& geometry,
                          bool in_sectors) {
  uint64_t limit = in_sectors ? geometry.total_sectors
                              : geometry.cylinders() * geometry.cylinder_sectors();
  for (size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& a = entries[i];
    if (a.empty()) continue;
    if (uint64_t(a.start) + a.size > limit)
      return "partition " + std::to_string(i + 1) + " does not fit on the disk";
    for (size_t j = 0; j < i; ++j) {
      const PartitionEntry& b = entries[j];
      if (b.empty()) continue;
      if (a.start < uint64_t(b.start) + b.size && b.start < uint64_t(a.start) + a.size)
        return "partitions " + std::to_string(j + 1) + " and " + std::to_string(i + 1) +
               " overlap";
    }
  }
  return "";
}
