#include "archive_writer.h"

#include <zlib.h>

#include "archive/part_type.h"

namespace kpk {

void put_le16(std::string& out, uint16_t value) {
  out += char(value & 0xFF);
  out += char(value >> 8);
}

void put_le32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += char((value >> (8 * i)) & 0xFF);
}

std::string file_header(uint32_t magic, uint32_t length) {
  std::string out;
  put_le32(out, magic);
  put_le32(out, length);
  return out;
}

std::string part_header(uint16_t type, uint32_t length) {
  std::string out;
  put_le16(out, type);
  put_le32(out, length);
  return out;
}

std::string part(uint16_t type, std::string_view body) {
  std::string out = part_header(type, uint32_t(body.size()));
  out.append(body);
  return out;
}

namespace {
void put_name16(std::string& out, std::string_view name) {
  std::string field(name.substr(0, 16));
  field.resize(16, '\0');
  out += field;
}
}  // namespace

std::string header_record(std::string_view name, uint32_t version, uint32_t build) {
  std::string out;
  put_name16(out, name);
  put_le32(out, version);
  put_le32(out, build);
  out.append(8, '\0');
  return out;
}

std::string ref_record(const PackageRef& ref) {
  std::string out;
  put_name16(out, ref.name);
  put_le32(out, ref.min_version);
  put_le32(out, 0);
  put_le32(out, ref.max_version);
  put_le32(out, uint32_t(ref.priority));
  return out;
}

std::string ref_list(const std::vector<PackageRef>& refs) {
  std::string out;
  put_le16(out, uint16_t(refs.size()));
  for (const PackageRef& ref : refs) out += ref_record(ref);
  return out;
}

std::string file_record(const FileEntry& e) {
  std::string out;
  put_le16(out, e.mode);
  put_le16(out, e.uid);
  put_le16(out, e.gid);
  put_le16(out, 0);
  put_le32(out, e.mtime);
  out.append(11, '\0');
  out += char(e.skip ? 1 : 0);
  put_le32(out, uint32_t(e.content.size()));
  put_le16(out, uint16_t(e.name.size()));
  out += e.name;
  out += e.content;
  return out;
}

uint32_t encode_device(uint32_t major, uint32_t minor) {
  return (minor & 0xFF) | ((major & 0xFFF) << 8) | ((minor & ~0xFFu) << 12);
}

void decode_device(uint32_t dev, uint32_t* major, uint32_t* minor) {
  *major = (dev >> 8) & 0xFFF;
  *minor = (dev & 0xFF) | ((dev >> 12) & 0xFFF00);
}

std::string zlib_compress(std::string_view data, int level) {
  z_stream zs = {};
  deflateInit(&zs, level);
  std::string out;
  char chunk[65536];
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  // Feed in slices so lengths beyond uInt never truncate.
  size_t left = data.size();
  int flush;
  do {
    uInt take = left > (1u << 30) ? (1u << 30) : uInt(left);
    zs.avail_in = take;
    left -= take;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(chunk);
      zs.avail_out = sizeof chunk;
      deflate(&zs, flush);
      out.append(chunk, sizeof chunk - zs.avail_out);
    } while (zs.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&zs);
  return out;
}

namespace {

void metadata_parts(std::string& out, const MetadataSpec& spec) {
  if (spec.has_architecture) out += part(Architecture, spec.architecture);
  if (spec.has_description) out += part(Description, spec.description);
  if (!spec.depends.empty()) out += part(Depends, ref_list(spec.depends));
  if (!spec.provides.empty()) out += part(Provides, ref_list(spec.provides));
  if (!spec.conflicts.empty()) out += part(Conflicts, ref_list(spec.conflicts));
  if (spec.has_image) out += part(Image, spec.image);
}

std::string with_file_header(std::string parts, bool plain) {
  std::string out = file_header(plain ? kPlainMagic : kRegularMagic, uint32_t(parts.size()));
  out += parts;
  return out;
}

}  // namespace

std::string package_parts(const PackageSpec& spec) {
  std::string out = part(PackageHeader, header_record(spec.name, spec.version, spec.build));
  metadata_parts(out, spec);
  if (spec.has_install_script) out += part(InstallScript, spec.install_script);
  if (spec.has_uninstall_script) out += part(UninstallScript, spec.uninstall_script);
  if (spec.has_files) {
    std::string records;
    for (const FileEntry& e : spec.files) records += file_record(e);
    out += part(FileData, zlib_compress(records, spec.compression_level));
  }
  return out;
}

std::string package_archive(const PackageSpec& spec, bool plain) {
  return with_file_header(package_parts(spec), plain);
}

std::string bundle_archive(const BundleSpec& spec, const std::vector<std::string>& member_parts,
                           bool plain) {
  std::string out = part(BundleHeader, header_record(spec.name, spec.version, spec.build));
  metadata_parts(out, spec);
  if (spec.has_contents) out += part(BundleContents, ref_list(spec.contents));
  for (const std::string& member : member_parts) out += member;
  return with_file_header(std::move(out), plain);
}

}  // namespace kpk
