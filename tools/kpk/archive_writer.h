// Byte-level encoding of package archives, for the host tools and tests. The installer only
// reads archives; this is the writing side: file header, parts, header and reference
// records, file records and the zlib stream of the file data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/package.h"

namespace kpk {

void put_le16(std::string& out, uint16_t value);
void put_le32(std::string& out, uint32_t value);

// 8 bytes: magic and the length of everything after the header.
std::string file_header(uint32_t magic, uint32_t length);
std::string part_header(uint16_t type, uint32_t length);
// A part header followed by its body.
std::string part(uint16_t type, std::string_view body);
// The 32-byte header record of a package or bundle. Names longer than 16 bytes are cut.
std::string header_record(std::string_view name, uint32_t version, uint32_t build);
std::string ref_record(const PackageRef& ref);
// A reference list body: count and records.
std::string ref_list(const std::vector<PackageRef>& refs);

struct FileEntry {
  std::string name;  // as stored: relative, or with a leading "/"
  uint16_t mode = 0;
  uint16_t uid = 0;
  uint16_t gid = 0;
  uint32_t mtime = 0;
  bool skip = false;
  std::string content;  // file bytes, link target or 4-byte device number
};
// One file record: the 30-byte header, the name and the content.
std::string file_record(const FileEntry& entry);
// The device-number encoding of file records (minor bits 0-7 and 20-31, major bits 8-19).
uint32_t encode_device(uint32_t major, uint32_t minor);
void decode_device(uint32_t dev, uint32_t* major, uint32_t* minor);

// zlib format (RFC 1950) at the given level; deterministic for a given zlib and level.
std::string zlib_compress(std::string_view data, int level = 9);

// What a package and a bundle both carry: the header record and the metadata parts, in the
// canonical order. Empty optional fields are left out.
struct MetadataSpec {
  std::string name;
  uint32_t version = 0;
  uint32_t build = 0;
  bool has_architecture = false;
  std::string architecture;
  bool has_description = false;
  std::string description;
  std::vector<PackageRef> depends, provides, conflicts;
  bool has_image = false;
  std::string image;
};

// The parts of one package.
struct PackageSpec : MetadataSpec {
  bool has_install_script = false;
  std::string install_script;
  bool has_uninstall_script = false;
  std::string uninstall_script;
  bool has_files = false;
  std::vector<FileEntry> files;
  int compression_level = 9;
};

// The parts of one package (everything after the file header), canonical order, unsigned.
std::string package_parts(const PackageSpec& spec);
// A whole single-package archive.
std::string package_archive(const PackageSpec& spec, bool plain);

struct BundleSpec : MetadataSpec {
  bool has_contents = false;
  std::vector<PackageRef> contents;
};
// A bundle archive: the bundle's own parts, then the members' parts (each the bytes of a
// member archive after its file header).
std::string bundle_archive(const BundleSpec& spec, const std::vector<std::string>& member_parts,
                           bool plain);

}  // namespace kpk
