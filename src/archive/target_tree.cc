#include "archive/target_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "system/root.h"

bool split_entry_name(std::string_view name, EntryPath* path) {
  path->parents.clear();
  path->leaf.clear();
  // A newline would split the files record into two other paths.
  if (name.empty() || name.find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos)
    return false;
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= name.size()) {
    size_t slash = name.find('/', at);
    if (slash == std::string_view::npos) slash = name.size();
    std::string_view part = name.substr(at, slash - at);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    at = slash + 1;
  }
  if (parts.empty()) return false;
  path->leaf = std::move(parts.back());
  parts.pop_back();
  path->parents = std::move(parts);
  return true;
}

std::string Target::host_root() const { return root_path(root); }

std::string RecordedPath::text() const {
  std::string out = relative ? "." : "";
  for (const std::string& part : path.parents) out += "/" + part;
  return out + "/" + path.leaf;
}

bool RecordedPath::parse(std::string_view text, RecordedPath* out) {
  out->relative = text.substr(0, 2) == "./";
  if (out->relative) text.remove_prefix(2);
  // Whatever else it begins with, the path is below the target's root.
  return split_entry_name(text, &out->path);
}

DirFd::~DirFd() {
  if (fd_ >= 0) close(fd_);
}

DirFd& DirFd::operator=(DirFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

DirFd open_parent(const Target& target, const EntryPath& path, bool create, mode_t mode) {
  DirFd dir(open(target.host_root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.ok()) return dir;
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (const std::string& part : path.parents) {
    int fd = openat(dir.get(), part.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
      if (mkdirat(dir.get(), part.c_str(), mode) != 0 && errno != EEXIST) return DirFd();
      fd = openat(dir.get(), part.c_str(), flags);
    }
    if (fd < 0) {
      // Say that a link is in the way rather than that it is no directory.
      struct stat st;
      if (errno == ENOTDIR && fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode))
        errno = ELOOP;
      return DirFd();
    }
    dir = DirFd(fd);
  }
  return dir;
}

std::string move_aside(int dir, const std::string& leaf) {
  static unsigned counter = 0;
  struct stat st;
  for (;;) {
    std::string name =
        ".kpk-replaced-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) continue;
    return renameat(dir, leaf.c_str(), dir, name.c_str()) == 0 ? name : std::string();
  }
}

void remove_entry(const RecordedPath& entry) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  if (dir.ok()) unlinkat(dir.get(), entry.path.leaf.c_str(), 0);
}

void restore_entry(const RecordedPath& entry, const std::string& backup) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  if (!dir.ok()) return;
  unlinkat(dir.get(), entry.path.leaf.c_str(), AT_REMOVEDIR);
  renameat(dir.get(), backup.c_str(), dir.get(), entry.path.leaf.c_str());
}

void drop_backup(const RecordedPath& entry, const std::string& backup) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  if (!dir.ok()) return;
  if (unlinkat(dir.get(), backup.c_str(), 0) == 0 || errno != EISDIR) return;
  // A record directory: flat, files only.
  int fd = openat(dir.get(), backup.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* listing = fdopendir(fd);
  if (!listing) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(listing))
    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
      names.emplace_back(e->d_name);
  for (const std::string& name : names) unlinkat(dirfd(listing), name.c_str(), 0);
  closedir(listing);
  unlinkat(dir.get(), backup.c_str(), AT_REMOVEDIR);
}
