#include "pkgmgr/spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "pkgmgr/database.h"
#include "system/root.h"

namespace {
bool g_force_named = false;
}  // namespace

void spool_force_named(bool named) { g_force_named = named; }

Spool::~Spool() {
  if (!named_.empty()) unlink(named_.c_str());
  if (fd_ >= 0) close(fd_);
}

bool Spool::open_on_target() {
  if (!g_force_named) {
    fd_ = open(root_path("/flash").c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) return true;
    // A file system without files that have no name: a named one where only the manager
    // writes.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  }
  make_dirs(kRepository);
  std::string name = root_path(kRepository) + kSpoolPrefix + std::to_string(getpid());
  unlink(name.c_str());  // a spool of a process that had this number before
  fd_ = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  named_ = name;
  flock(fd_, LOCK_EX);  // held while this child lives: the next run deletes only a stale one
  return true;
}

bool Spool::open_private() {
  fd_ = memfd_create("kpk-spool", MFD_CLOEXEC);
  if (fd_ >= 0) return true;
  fd_ = open(root_path("/").c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  return fd_ >= 0;
}

bool Spool::keep_as(const std::string& path) const {
  const std::string target = root_path(path);
  if (!named_.empty()) return link(named_.c_str(), target.c_str()) == 0;
  if (linkat(fd_, "", AT_FDCWD, target.c_str(), AT_EMPTY_PATH) == 0) return true;
  // Without the privilege that linking by descriptor takes, through the process's fd entry.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}
