// Filling package records from archives.
#include <sys/stat.h>

#include <vector>

#include "archive/package.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/stream_read.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

// The bytes before the first NUL of a 16-byte name field, all 16 when there is none.
std::string name_field(const uint8_t* p) {
  size_t n = 0;
  while (n < 16 && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool read_ref_list(PartReader& reader, std::vector<PackageRef>& list) {
  uint8_t count_bytes[2];
  if (!reader.read(reinterpret_cast<char*>(count_bytes), 2)) return false;
  uint16_t count = load_le16(count_bytes);
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t record[kRefRecordSize];
    if (!reader.read(reinterpret_cast<char*>(record), kRefRecordSize)) return false;
    PackageRef ref;
    ref.name = name_field(record);
    ref.min_version = load_le32(record + 16);
    ref.max_version = load_le32(record + 24);
    ref.priority = int32_t(load_le32(record + 28));
    list.push_back(std::move(ref));
  }
  return true;
}

bool read_package_info(PackageInfo& info, PartReader& reader) {
  int32_t type = reader.current_type();
  if (type != PackageHeader && type != BundleHeader) return false;
  info.is_bundle = type == BundleHeader;

  uint8_t header[kPackageHeaderSize];
  if (!reader.read(reinterpret_cast<char*>(header), kPackageHeaderSize)) return false;
  info.name = name_field(header);
  info.version = load_le32(header + 16);
  info.build = load_le32(header + 20);
  reader.next_part();

  if (reader.current_type() == Architecture) {
    read_declared(reader, reader.current_length(), &info.architecture);
    reader.next_part();
  } else {
    info.architecture = "i386";
  }
  if (reader.current_type() == Description) {
    read_declared(reader, reader.current_length(), &info.description);
    reader.next_part();
  }
  if (reader.current_type() == Depends) {
    if (!read_ref_list(reader, info.depends)) return false;
    reader.next_part();
  }
  if (reader.current_type() == Provides) {
    if (!read_ref_list(reader, info.provides)) return false;
    reader.next_part();
  }
  if (reader.current_type() == Conflicts) {
    if (!read_ref_list(reader, info.conflicts)) return false;
    reader.next_part();
  }
  if (reader.current_type() == Image) info.has_image = true;
  return true;
}

bool read_package_file(PackageFile& file, const std::string& path) {
  file.path = path;
  std::string host_path = root_path(path);
  // Only a regular file has the size that its header must tell. Anything else is refused
  // before it is opened: opening a FIFO would wait for a writer that never comes.
  struct stat st;
  if (stat(host_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FdInStream in(host_path);
  return read_package_stream(file, in, uint64_t(st.st_size));
}

bool read_package_stream(PackageFile& file, std::istream& in, uint64_t size) {
  PartReader reader(in, false);  // the metadata alone: nothing needs the digest
  file.total_length = reader.total_length();
  if (reader.bad() || size != file.total_length) return false;
  file.plain = reader.is_plain();

  for (int32_t type : {BundleHeader, PackageHeader, Architecture, Description, Depends, Provides,
                       Conflicts, Image})
    reader.want(type);
  reader.next_part();
  file.is_bundle = reader.current_type() == BundleHeader;
  if (!read_package_info(file, reader)) return false;
  if (!file.is_bundle) return true;

  if (reader.current_type() == Image) reader.next_part();
  while (reader.current_type() == PackageHeader) {
    auto member = std::make_unique<PackageInfo>();
    if (!read_package_info(*member, reader)) return false;
    file.members.push_back(std::move(member));
    if (reader.current_type() == Image) reader.next_part();
  }
  return !file.members.empty();
}
