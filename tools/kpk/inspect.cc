// kpk info, kpk files and kpk digest: what the installer's own reader sees in an archive.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "archive/inflate_reader.h"
#include "archive/package.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/stream_read.h"
#include "archive_writer.h"
#include "integrity/hex.h"
#include "commands.h"
#include "archive/version_text.h"
#include "system/fd_stream.h"

namespace kpk {

namespace {

std::string escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c == 0x7F) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      out += b;
    } else out += char(c);
  }
  return out;
}

std::string relation_text(const PackageRef& r) {
  std::string out = escape(requirement_label(r));
  std::string bounds;
  if (r.min_version) bounds += std::string(">= ") + version_text(r.min_version);
  if (r.max_version) bounds += std::string(bounds.empty() ? "" : " ") + "<= " + version_text(r.max_version);
  if (r.priority) bounds += (bounds.empty() ? "" : " ") + std::string("priority ") + std::to_string(r.priority);
  if (!bounds.empty()) out += " (" + bounds + ")";
  return out;
}

void print_relations(const char* key, const std::vector<PackageRef>& refs) {
  if (refs.empty()) printf("%s: (none)\n", key);
  for (const PackageRef& r : refs) printf("%s: %s\n", key, relation_text(r).c_str());
}

// One clear line on why an archive cannot be read.
int unreadable(const std::string& path, const PackageFile& file) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return fail(path + ": " + strerror(errno));
  if (S_ISDIR(st.st_mode)) return fail(path + ": is a directory");
  FdInStream in(path);
  PartReader reader(in, false);
  if (!reader) return fail(path + ": not a package archive (no valid file header)");
  if (uint64_t(st.st_size) != file.total_length)
    return fail(path + ": file size " + std::to_string(st.st_size) +
                " differs from the header's total length " + std::to_string(file.total_length));
  if (file.is_bundle && file.members.empty() && !file.name.empty())
    return fail(path + ": bundle without members");
  return fail(path + ": broken package metadata");
}

std::string mode_string(uint16_t mode) {
  std::string s(10, '-');
  switch (mode & kTypeMask) {
    case kTypeRegular: s[0] = '-'; break;
    case kTypeDirectory: s[0] = 'd'; break;
    case kTypeSymlink: s[0] = 'l'; break;
    case kTypeCharDevice: s[0] = 'c'; break;
    case kTypeBlockDevice: s[0] = 'b'; break;
    case kTypeFifo: s[0] = 'p'; break;
    default: s[0] = '?';
  }
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i)
    if (mode & (0400 >> i)) s[size_t(i + 1)] = rwx[i];
  if (mode & 04000) s[3] = (mode & 0100) ? 's' : 'S';
  if (mode & 02000) s[6] = (mode & 0010) ? 's' : 'S';
  if (mode & 01000) s[9] = (mode & 0001) ? 't' : 'T';
  return s;
}

// Lists the file records of the FileData part the reader stands on. False when the records
// are cut inside a name or content.
bool list_file_data(PartReader& reader) {
  InflateReader data(reader);
  for (;;) {
    uint8_t h[kFileRecordHeaderSize];
    if (!data.read(reinterpret_cast<char*>(h), kFileRecordHeaderSize)) return true;
    const FileRecordHeader record = decode_file_record_header(h);
    const uint16_t mode = record.mode;
    const uint32_t size = record.size;
    const bool skip = record.skip;
    std::string name, target;
    if (!read_declared(data, record.name_length, &name)) return false;
    std::string size_column = std::to_string(size);
    uint16_t type = mode & kTypeMask;
    if (!skip && type == kTypeSymlink) {
      if (!read_declared(data, size, &target)) return false;
    } else if (!skip && (type == kTypeCharDevice || type == kTypeBlockDevice) && size == 4) {
      std::string dev;
      if (!read_declared(data, 4, &dev)) return false;
      uint32_t major, minor;
      decode_device(load_le32(reinterpret_cast<const uint8_t*>(dev.data())), &major, &minor);
      size_column = std::to_string(major) + "," + std::to_string(minor);
    } else if (size > 0 && !data.seekg(size, std::ios_base::cur)) {
      return false;
    }
    time_t t = time_t(record.mtime);
    struct tm tm;
    gmtime_r(&t, &tm);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    printf("%s %u/%u %9s %s %s", mode_string(mode).c_str(), record.uid, record.gid,
           size_column.c_str(), when, escape(name).c_str());
    if (!target.empty()) printf(" -> %s", escape(target).c_str());
    if (skip) printf(" (skipped)");
    printf("\n");
  }
}

bool one_path(int argc, char** argv, const char* command, std::string* path) {
  if (argc != 1) {
    fail(std::string("usage: kpk ") + command + " FILE");
    return false;
  }
  *path = argv[0];
  return true;
}

}  // namespace

int cmd_info(int argc, char** argv) {
  std::string path;
  if (!one_path(argc, argv, "info", &path)) return 2;
  PackageFile file;
  if (!read_package_file(file, path)) return unreadable(path, file);
  printf("name: %s\n", escape(file.name).c_str());
  printf("version: %s\n", version_text(file.version));
  printf("build: %u\n", file.build);
  printf("architecture: %s\n", escape(file.architecture).c_str());
  printf("description: %s\n", escape(file.description).c_str());
  print_relations("depends", file.depends);
  print_relations("provides", file.provides);
  print_relations("conflicts", file.conflicts);
  printf("image: %s\n", file.has_image ? "yes" : "no");
  printf("plain: %s\n", file.plain ? "yes" : "no");
  printf("is_bundle: %s\n", file.is_bundle ? "yes" : "no");
  std::string members;
  for (const auto& m : file.members) members += (members.empty() ? "" : " ") + escape(package_label(*m));
  printf("members: %s\n", members.empty() ? "(none)" : members.c_str());
  printf("total_length: %u\n", file.total_length);
  return 0;
}

int cmd_files(int argc, char** argv) {
  std::string path;
  if (!one_path(argc, argv, "files", &path)) return 2;
  FdInStream in(path);
  if (!in.is_open()) return fail(path + ": " + strerror(errno));
  PartReader reader(in, false);
  reader.want(PackageHeader);
  reader.want(BundleHeader);
  reader.want(FileData);
  if (reader.next_part() < 0) return fail(path + ": not a package archive");
  bool bundle = reader.current_type() == BundleHeader;
  do {
    if (reader.current_type() == PackageHeader && bundle) {
      uint8_t h[kPackageHeaderSize];
      if (!reader.read(reinterpret_cast<char*>(h), sizeof h)) break;
      PackageInfo member;
      size_t n = 0;
      while (n < 16 && h[n]) ++n;
      member.name.assign(reinterpret_cast<char*>(h), n);
      member.version = load_le32(h + 16);
      printf("# %s\n", escape(package_label(member)).c_str());
    } else if (reader.current_type() == FileData) {
      if (!list_file_data(reader)) return fail(path + ": file data is cut short or corrupt");
    }
  } while (reader.next_part() >= 0);
  return 0;
}

int cmd_digest(int argc, char** argv) {
  std::string path;
  if (!one_path(argc, argv, "digest", &path)) return 2;
  FdInStream in(path);
  if (!in.is_open()) return fail(path + ": " + strerror(errno));
  PartReader reader(in, true);
  reader.want(PackageHeader);
  reader.want(Signature);
  if (!reader) return fail(path + ": not a package archive");
  std::string pending;  // label of the package whose digest is running
  uint8_t digest[20];
  int packages = 0;
  for (;;) {
    int32_t type = reader.next_part();
    if (type != Signature && !pending.empty() && reader.take_package_digest(digest)) {
      printf("%s  %s\n", hex(digest, 20).c_str(), pending.c_str());
      pending.clear();
    }
    if (type < 0) break;
    if (type == PackageHeader) {
      uint8_t h[kPackageHeaderSize];
      if (!reader.read(reinterpret_cast<char*>(h), sizeof h))
        return fail(path + ": package header cut short");
      PackageInfo p;
      size_t n = 0;
      while (n < 16 && h[n]) ++n;
      p.name.assign(reinterpret_cast<char*>(h), n);
      p.version = load_le32(h + 16);
      pending = escape(package_label(p));
      ++packages;
    } else if (type == Signature && !pending.empty()) {
      reader.finalize_package_digest();
      reader.take_package_digest(digest);
      printf("%s  %s\n", hex(digest, 20).c_str(), pending.c_str());
      pending.clear();
    }
  }
  if (packages == 0) return fail(path + ": no package in the archive");
  return 0;
}

}  // namespace kpk
