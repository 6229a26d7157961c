#include "build.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "system/fd_stream.h"

namespace kpk {

bool read_file(const std::string& path, std::string* data, std::string* error) {
  FdInStream in(path);
  if (!in.is_open()) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  data->clear();
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
    data->append(chunk, size_t(in.gcount()));
  if (static_cast<FdInBuf*>(in.rdbuf())->error() != 0) {
    *error = path + ": " + strerror(static_cast<FdInBuf*>(in.rdbuf())->error());
    return false;
  }
  return true;
}

namespace {

std::string resolve(const Manifest& m, const std::string& file) {
  if (!file.empty() && file[0] == '/') return file;
  return m.base_dir + "/" + file;
}

// Walks dir (host path) in byte order of names, directories before their contents.
bool walk(const std::string& host, const std::string& name, std::vector<FileEntry>* out,
          std::string* error) {
  DIR* d = opendir(host.c_str());
  if (!d) {
    *error = host + ": " + strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string path = host + "/" + n;
    std::string entry_name = name.empty() ? n : name + "/" + n;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      *error = path + ": " + strerror(errno);
      return false;
    }
    if (entry_name.size() > 0xFFFF) {
      *error = path + ": name too long for an archive";
      return false;
    }
    FileEntry f;
    f.name = entry_name;
    f.mode = uint16_t(st.st_mode & 0xFFFF);
    f.mtime = uint32_t(st.st_mtime);
    if (S_ISREG(st.st_mode)) {
      if (!read_file(path, &f.content, error)) return false;
    } else if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(size_t(st.st_size) + 1 > 4096 ? size_t(st.st_size) + 1 : 4096);
      ssize_t n_read = readlink(path.c_str(), target.data(), target.size());
      if (n_read < 0) {
        *error = path + ": " + strerror(errno);
        return false;
      }
      f.content.assign(target.data(), size_t(n_read));
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
      std::string dev;
      put_le32(dev, encode_device(major(st.st_rdev), minor(st.st_rdev)));
      f.content = dev;
    } else if (!S_ISDIR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
      *error = path + ": unsupported file type";
      return false;
    }
    out->push_back(f);
    if (S_ISDIR(st.st_mode) && !walk(path, entry_name, out, error)) return false;
  }
  return true;
}

void add_or_replace(std::vector<FileEntry>* files, FileEntry entry) {
  for (FileEntry& f : *files) {
    if (f.name == entry.name) {
      f = std::move(entry);
      return;
    }
  }
  files->push_back(std::move(entry));
}

bool collect_files(const Manifest& m, std::vector<FileEntry>* files, std::string* error) {
  if (!m.files_dir.empty() && !walk(resolve(m, m.files_dir), "", files, error)) return false;
  for (const ExtraEntry& x : m.extras) {
    FileEntry f;
    f.name = x.path;
    f.uid = x.uid;
    f.gid = x.gid;
    if (x.kind == ExtraEntry::Device) {
      f.mode = uint16_t((x.device_type == 'b' ? kTypeBlockDevice : kTypeCharDevice) | x.mode);
      put_le32(f.content, encode_device(x.major, x.minor));
    } else if (x.kind == ExtraEntry::Fifo) {
      f.mode = uint16_t(kTypeFifo | x.mode);
    } else {
      f.mode = uint16_t(kTypeSymlink | 0777);
      f.content = x.target;
    }
    add_or_replace(files, std::move(f));
  }
  for (FileEntry& f : *files) {
    if (m.has_mtime) f.mtime = m.mtime;
    auto owner = m.owners.find(f.name);
    if (owner != m.owners.end()) {
      f.uid = owner->second.first;
      f.gid = owner->second.second;
    }
    auto mode = m.modes.find(f.name);
    if (mode != m.modes.end()) f.mode = uint16_t((f.mode & kTypeMask) | mode->second);
    if (std::find(m.skips.begin(), m.skips.end(), f.name) != m.skips.end()) f.skip = true;
  }
  auto check = [&](const std::string& path) {
    for (const FileEntry& f : *files)
      if (f.name == path) return true;
    *error = "no entry named " + path + " in the package";
    return false;
  };
  for (const auto& o : m.owners)
    if (!check(o.first)) return false;
  for (const auto& o : m.modes)
    if (!check(o.first)) return false;
  for (const auto& s : m.skips)
    if (!check(s)) return false;
  return true;
}

bool fill_common(const Manifest& m, MetadataSpec* spec, std::string* error) {
  spec->name = m.name;
  spec->version = m.version;
  spec->build = m.build;
  spec->has_architecture = m.has_architecture;
  spec->architecture = m.architecture;
  spec->has_description = m.has_description;
  spec->description = m.description;
  spec->depends = m.depends;
  spec->provides = m.provides;
  spec->conflicts = m.conflicts;
  if (!m.image_file.empty()) {
    spec->has_image = true;
    if (!read_file(resolve(m, m.image_file), &spec->image, error)) return false;
  }
  return true;
}

bool fits(const std::string& archive, std::string* error) {
  uint64_t size = archive.size();
  if (size >> 32) {
    *error = "archive larger than 4 GiB";
    return false;
  }
  return true;
}

}  // namespace

bool build_package(const Manifest& m, std::string* archive, std::string* error) {
  PackageSpec spec;
  if (!fill_common(m, &spec, error)) return false;
  if (!m.install_script_file.empty()) {
    spec.has_install_script = true;
    if (!read_file(resolve(m, m.install_script_file), &spec.install_script, error)) return false;
  }
  if (!m.uninstall_script_file.empty()) {
    spec.has_uninstall_script = true;
    if (!read_file(resolve(m, m.uninstall_script_file), &spec.uninstall_script, error))
      return false;
  }
  if (!m.files_dir.empty() || !m.extras.empty()) {
    spec.has_files = true;
    if (!collect_files(m, &spec.files, error)) return false;
  } else if (!m.owners.empty() || !m.modes.empty() || !m.skips.empty()) {
    *error = "owner, mode or skip given without files";
    return false;
  }
  spec.compression_level = m.compression;
  *archive = package_archive(spec, m.plain);
  return fits(*archive, error);
}

bool build_bundle(const Manifest& m, const std::vector<std::string>& members,
                  std::string* archive, std::string* error) {
  BundleSpec spec;
  if (!fill_common(m, &spec, error)) return false;
  if (!m.files_dir.empty() || !m.extras.empty() || !m.install_script_file.empty() ||
      !m.uninstall_script_file.empty()) {
    *error = "a bundle carries no files or scripts of its own";
    return false;
  }
  spec.has_contents = m.has_contents;
  spec.contents = m.contents;
  std::vector<std::string> parts;
  for (const std::string& member : members) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(member.data());
    uint32_t magic = member.size() >= kFileHeaderSize ? load_le32(bytes) : 0;
    if (magic != kRegularMagic && magic != kPlainMagic) {
      *error = "a member is not a package archive";
      return false;
    }
    if (member.size() < kFileHeaderSize + kPartHeaderSize ||
        load_le16(bytes + kFileHeaderSize) != PackageHeader) {
      *error = "a member must be a single package, not a bundle";
      return false;
    }
    parts.push_back(member.substr(kFileHeaderSize));
  }
  *archive = bundle_archive(spec, parts, m.plain);
  return fits(*archive, error);
}

}  // namespace kpk
