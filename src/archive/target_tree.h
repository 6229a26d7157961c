// Writing below a root directory without ever following a symbolic link: every directory on
// the way to an entry is opened one component at a time with O_NOFOLLOW, so neither a link
// that an archive planted earlier nor one that was already on the disk can lead a write out
// of the root.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// An entry name split into the directories above it and its last component.
struct EntryPath {
  std::vector<std::string> parents;
  std::string leaf;
};

// Splits a stored entry name. Empty components and "." are dropped; false for a name that
// is empty, holds a NUL byte or a ".." component, or has no last component.
bool split_entry_name(std::string_view name, EntryPath* path);

// A directory handle on the way to an entry, closed on destruction.
class DirFd {
 public:
  DirFd() = default;
  explicit DirFd(int fd) : fd_(fd) {}
  ~DirFd();
  DirFd(DirFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirFd& operator=(DirFd&& other) noexcept;
  DirFd(const DirFd&) = delete;
  DirFd& operator=(const DirFd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens the directory that holds path's leaf, starting at root (a host path, followed as
// given) and descending through path.parents without following links. With create, missing
// directories are made with mode (before the umask). On failure the result is not ok() and
// errno tells why (ELOOP or ENOTDIR for a link or a file in the way).
DirFd open_parent(const std::string& root, const EntryPath& path, bool create, mode_t mode);
