// Extraction of a package's file records onto the target.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "archive/inflate_reader.h"
#include "archive/install.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/stream_read.h"
#include "archive/target_tree.h"
#include "pkgmgr/database.h"
#include "pkgmgr/package_manager.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

constexpr size_t kCopyChunk = 16384;
constexpr mode_t kParentMode = 0770;

bool skip_bytes(std::istream& in, uint32_t n) {
  if (n == 0) return true;
  in.seekg(std::streamoff(n), std::ios_base::cur);
  return !in.fail();
}

// A free name in dir for moving an existing entry aside.
std::string backup_name(int dir) {
  static unsigned counter = 0;
  struct stat st;
  for (;;) {
    std::string name = ".kpk-replaced-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return name;
  }
}

struct DirTime {
  EntryPath path;
  uint32_t mtime;
};

class Extractor {
 public:
  Extractor(Package& p, PartReader& r, bool plain, bool relative)
      : p_(p), r_(r), plain_(plain), relative_(relative),
        root_(relative ? std::string(".") : root_path("/flash")) {}

  bool run();

 private:
  bool entry(const uint8_t* header, const std::string& name);
  bool create(int dir, const EntryPath& path, const std::string& name, const std::string& installed,
              uint16_t mode, uint16_t uid, uint16_t gid, uint32_t mtime, uint32_t size);
  // Moves what is at path aside so that it can be put back if the installation fails.
  void move_aside(int dir, const EntryPath& path, const std::string& installed);
  bool broken() {
    report_broken(p_);
    return false;
  }
  bool create_failed(const std::string& name, int error) {
    report_create_failure(p_, name, error);
    return false;
  }

  Package& p_;
  PartReader& r_;
  bool plain_;
  bool relative_;
  std::string root_;
  std::unique_ptr<InflateReader> data_;
  std::vector<DirTime> dir_times_;
  std::vector<std::string> cached_parents_;
  DirFd cached_dir_;
};

bool Extractor::run() {
  if (p_.disabled) {
    // /flash/x/<name> and /flash/x/<name>/var/pdb/<name>, also for a relative install.
    EntryPath x{{"x", p_.name, "var", "pdb", p_.name}, ""};
    open_parent(root_path("/flash"), x, true, kParentMode);
  }
  data_ = std::make_unique<InflateReader>(r_);
  for (;;) {
    uint8_t header[kFileRecordHeaderSize];
    if (!data_->read(reinterpret_cast<char*>(header), kFileRecordHeaderSize)) break;
    std::string name;
    if (!read_declared(*data_, decode_file_record_header(header).name_length, &name))
      return broken();
    if (!entry(header, name)) return false;
  }
  for (const DirTime& d : dir_times_) {
    DirFd dir = open_parent(root_, d.path, false, 0);
    struct timespec times[2] = {{time_t(d.mtime), 0}, {time_t(d.mtime), 0}};
    if (dir.ok()) utimensat(dir.get(), d.path.leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  return true;
}

bool Extractor::entry(const uint8_t* header, const std::string& name) {
  const FileRecordHeader record = decode_file_record_header(header);
  const uint16_t mode = record.mode, uid = record.uid, gid = record.gid;
  const uint32_t mtime = record.mtime, size = record.size;
  const bool skip = record.skip;

  std::string installed = relative_ ? "." : "";
  if (p_.disabled) installed += "/x/" + p_.name;
  if (name.empty() || name[0] != '/') installed += "/";
  installed += name;

  EntryPath path;
  if (!split_entry_name(name, &path)) return broken();
  if (p_.disabled) {
    path.parents.insert(path.parents.begin(), {"x", p_.name});
  }
  // Entries of one directory follow each other: keep its handle for the next one.
  int parent_error = 0;
  if (!cached_dir_.ok() || cached_parents_ != path.parents) {
    cached_dir_ = open_parent(root_, path, true, kParentMode);
    parent_error = errno;
    cached_parents_ = cached_dir_.ok() ? path.parents : std::vector<std::string>();
  }
  const DirFd& dir = cached_dir_;

  if (skip) return skip_bytes(*data_, size) ? true : broken();
  if (!dir.ok()) return create_failed(name, parent_error);

  struct stat st;
  if (fstatat(dir.get(), path.leaf.c_str(), &st, 0) == 0) {
    if (S_ISDIR(st.st_mode) && (mode & kTypeMask) == kTypeDirectory)
      return skip_bytes(*data_, size) ? true : broken();
    if (!plain_) {
      std::string owner = PackageManager::instance().owner_of(installed);
      if (!owner.empty()) {
        PackageManager::instance().warning("file %s collides with %s package", installed.c_str(),
                                           owner.c_str());
        return skip_bytes(*data_, size) ? true : broken();
      }
      PackageManager::instance().warning("ghost file %s", installed.c_str());
    }
    move_aside(dir.get(), path, installed);
  } else if (fstatat(dir.get(), path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A link that leads nowhere counts as absent, but nothing may be written through it.
    move_aside(dir.get(), path, installed);
  }
  if (!create(dir.get(), path, name, installed, mode, uid, gid, mtime, size)) return false;
  show_installing(p_, r_);
  return true;
}

void Extractor::move_aside(int dir, const EntryPath& path, const std::string& installed) {
  struct stat st;
  // A directory stays where it is: creating the entry then fails, and nothing is lost.
  if (fstatat(dir, path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) return;
  if (p_.files.count(installed)) {
    // An entry of this very package, written again: the later one wins.
    unlinkat(dir, path.leaf.c_str(), 0);
    return;
  }
  std::string backup = backup_name(dir);
  if (renameat(dir, path.leaf.c_str(), dir, backup.c_str()) == 0)
    p_.moved_aside.push_back({relative_ ? installed : "/flash" + installed, backup});
}

bool Extractor::create(int dir, const EntryPath& path, const std::string& name,
                       const std::string& installed, uint16_t mode, uint16_t uid, uint16_t gid,
                       uint32_t mtime, uint32_t size) {
  const char* leaf = path.leaf.c_str();
  const uint16_t type = mode & kTypeMask;
  const mode_t permissions = mode & 07777;
  struct timespec times[2] = {{time_t(mtime), 0}, {time_t(mtime), 0}};

  if (type == kTypeSymlink) {
    std::string target;
    if (!read_declared(*data_, size, &target)) return broken();
    if (symlinkat(target.c_str(), dir, leaf) != 0) return create_failed(name, errno);
    p_.files.insert(installed);
    fchownat(dir, leaf, uid, gid, AT_SYMLINK_NOFOLLOW);
    return true;
  }

  if (type == kTypeRegular) {
    int fd = openat(dir, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return create_failed(name, errno);
    p_.files.insert(installed);
    char chunk[kCopyChunk];
    uint32_t left = size;
    while (left > 0) {
      uint32_t want = left < kCopyChunk ? left : uint32_t(kCopyChunk);
      if (!data_->read(chunk, want)) {
        close(fd);
        return broken();
      }
      if (int error = write_all(fd, chunk, want)) {
        close(fd);
        return create_failed(name, error);
      }
      left -= want;
    }
    fchown(fd, uid, gid);
    fchmod(fd, permissions);
    futimens(fd, times);
    if (close(fd) != 0) return create_failed(name, errno);
    return true;
  }

  if (type == kTypeDirectory) {
    if (!skip_bytes(*data_, size)) return broken();
    if (mkdirat(dir, leaf, permissions & 0777) != 0) return create_failed(name, errno);
    dir_times_.push_back({path, mtime});
  } else if (type == kTypeCharDevice || type == kTypeBlockDevice) {
    std::string number;
    if (size != 4 || !read_declared(*data_, 4, &number)) return broken();
    dev_t device = dev_t(load_le32(reinterpret_cast<const uint8_t*>(number.data())));
    if (mknodat(dir, leaf, type | (permissions & 0777), device) != 0)
      return create_failed(name, errno);
    p_.files.insert(installed);
  } else if (type == kTypeFifo) {
    if (!skip_bytes(*data_, size)) return broken();
    if (mkfifoat(dir, leaf, permissions & 0777) != 0) return create_failed(name, errno);
    p_.files.insert(installed);
  } else {
    return broken();
  }
  fchownat(dir, leaf, uid, gid, AT_SYMLINK_NOFOLLOW);
  fchmodat(dir, leaf, permissions, 0);
  utimensat(dir, leaf, times, AT_SYMLINK_NOFOLLOW);
  return true;
}

}  // namespace

bool extract_files(Package& p, PartReader& r, bool plain, bool relative) {
  Extractor extractor(p, r, plain, relative);
  return extractor.run();
}
