#include "archive/target_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool split_entry_name(std::string_view name, EntryPath* path) {
  path->parents.clear();
  path->leaf.clear();
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
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

DirFd open_parent(const std::string& root, const EntryPath& path, bool create, mode_t mode) {
  DirFd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
