// Package archive layout: file-header magics, part types, record sizes and the decoding of
// little-endian fields and file-record headers.
#pragma once

#include <cstdint>

constexpr uint32_t kRegularMagic = 0xBAD0F11E;  // installed with a database record
constexpr uint32_t kPlainMagic = 0xA1100FFB;    // installed without record or ownership checks
constexpr uint32_t kFileHeaderSize = 8;
constexpr uint32_t kPartHeaderSize = 6;
constexpr uint32_t kPackageHeaderSize = 32;  // body of PackageHeader and BundleHeader
constexpr uint32_t kRefRecordSize = 32;
constexpr uint32_t kFileRecordHeaderSize = 30;

enum PartType : int32_t {
  PackageHeader = 1,
  Description = 2,
  Depends = 3,
  FileData = 4,
  InstallScript = 7,
  UninstallScript = 8,
  Signature = 9,
  Architecture = 16,
  Conflicts = 17,
  BundleHeader = 18,
  Provides = 19,
  BundleContents = 20,
  Image = 21,
};

// Little-endian field access for archive records.
inline uint16_t load_le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The fixed header of one file record of the decompressed file data; the name and the
// content follow it.
struct FileRecordHeader {
  uint16_t mode;  // file-type bits (kTypeMask) and permission bits (07777)
  uint16_t uid;
  uint16_t gid;
  uint32_t mtime;  // seconds since 1970-01-01 UTC
  bool skip;       // nothing is created for the record
  uint32_t size;   // content bytes after the name
  uint16_t name_length;
};

inline FileRecordHeader decode_file_record_header(const uint8_t* p) {
  return FileRecordHeader{load_le16(p),     load_le16(p + 2), load_le16(p + 4),
                          load_le32(p + 8), p[23] != 0,       load_le32(p + 24),
                          load_le16(p + 28)};
}

// File record type bits (mode & 0xF000).
constexpr uint16_t kTypeMask = 0xF000;
constexpr uint16_t kTypeFifo = 0x1000;
constexpr uint16_t kTypeCharDevice = 0x2000;
constexpr uint16_t kTypeDirectory = 0x4000;
constexpr uint16_t kTypeBlockDevice = 0x6000;
constexpr uint16_t kTypeRegular = 0x8000;
constexpr uint16_t kTypeSymlink = 0xA000;
