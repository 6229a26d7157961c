// Package archive constants: file-header magics and part types.
#pragma once

#include <cstdint>

constexpr uint32_t kRegularMagic = 0xBAD0F11E;  // installed with a database record
constexpr uint32_t kPlainMagic = 0xA1100FFB;    // installed without record or ownership checks
constexpr uint32_t kFileHeaderSize = 8;
constexpr uint32_t kPartHeaderSize = 6;
constexpr uint32_t kPackageHeaderSize = 32;  // body of PackageHeader and BundleHeader
constexpr uint32_t kRefRecordSize = 32;
constexpr uint32_t kFileRecordHeaderSize = 30;
constexpr uint32_t kSignatureRecordSize = 68;

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

// File record type bits (mode & 0xF000).
constexpr uint16_t kTypeMask = 0xF000;
constexpr uint16_t kTypeFifo = 0x1000;
constexpr uint16_t kTypeCharDevice = 0x2000;
constexpr uint16_t kTypeDirectory = 0x4000;
constexpr uint16_t kTypeBlockDevice = 0x6000;
constexpr uint16_t kTypeRegular = 0x8000;
constexpr uint16_t kTypeSymlink = 0xA000;
