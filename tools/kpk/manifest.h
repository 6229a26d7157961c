// The package manifest of `kpk build` and `kpk bundle`: "key: value" lines.
//
//   name: abc                     version: 3.0rc1            build: 1700000000
//   architecture: i386            description: first line
//     continuation lines start with a blank; a line of " ." is an empty line
//   depends: system >= 3.0        depends: filters >= 1.0 <= 2.0
//   provides: mta priority 5      conflicts: oldmta <= 1.2
//   contents: member >= 1.0       (bundles only: the bundle contents list)
//   image: FILE                   install-script: FILE       uninstall-script: FILE
//   files: DIR                    the directory tree to pack
//   mtime: SECONDS                every entry's time (else each file's own)
//   owner: PATH UID:GID           mode: PATH 0640            skip: PATH
//   device: PATH c|b MAJOR MINOR [MODE] [UID:GID]
//   fifo: PATH [MODE] [UID:GID]   symlink: PATH -> TARGET
//   plain: yes                    compression: 0..9
//
// FILE and DIR are relative to the manifest's directory; PATH is an entry name as stored in
// the archive. Comments start with "#".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/package.h"

namespace kpk {

struct ExtraEntry {
  enum Kind { Device, Fifo, Symlink } kind;
  std::string path;
  char device_type = 'c';
  uint32_t major = 0, minor = 0;
  uint16_t mode = 0;
  bool has_owner = false;
  uint16_t uid = 0, gid = 0;
  std::string target;
};

struct Manifest {
  std::string base_dir;  // directory of the manifest file
  std::string name;
  bool has_version = false;
  uint32_t version = 0;
  uint32_t build = 0;
  bool has_architecture = false;
  std::string architecture;
  bool has_description = false;
  std::string description;
  std::vector<PackageRef> depends, provides, conflicts, contents;
  bool has_contents = false;
  std::string image_file, install_script_file, uninstall_script_file, files_dir;
  bool has_mtime = false;
  uint32_t mtime = 0;
  std::map<std::string, std::pair<uint16_t, uint16_t>> owners;
  std::map<std::string, uint16_t> modes;
  std::vector<std::string> skips;
  std::vector<ExtraEntry> extras;
  bool plain = false;
  int compression = 9;
};

// Parses a manifest file. On failure returns false with a one-line reason in *error.
bool parse_manifest(const std::string& path, Manifest* manifest, std::string* error);
// Parses one relation: "NAME [>= V] [<= V] [= V] [priority N]".
bool parse_relation(const std::string& text, PackageRef* ref, std::string* error);

}  // namespace kpk
