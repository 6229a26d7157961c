#include "pkgmgr/ownership.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "pkgmgr/database.h"
#include "system/root.h"

OwnerIndex::OwnerIndex(const std::vector<std::unique_ptr<Package>>& installed) {
  for (const auto& p : installed) {
    // The files list is in path order: entries of one directory follow each other.
    std::vector<std::string> parents;
    bool relative = false;
    DirFd dir;
    for (const std::string& text : p->files) {
      RecordedPath entry;
      if (!RecordedPath::parse(text, &entry)) continue;
      if (!dir.ok() || parents != entry.path.parents || relative != entry.relative) {
        dir = open_parent(entry.target(), entry.path, false, 0);
        parents = entry.path.parents;
        relative = entry.relative;
      }
      Identity id;
      if (dir.ok() && identity_at(dir.get(), entry.path.leaf, &id))
        owners_.emplace(id, p->name);
      else if (errno != ENOENT && errno != ENOTDIR && error_ == 0)
        error_ = errno;
    }
  }
}

const std::string* OwnerIndex::owner(const Identity& id) const {
  auto it = owners_.find(id);
  return it == owners_.end() ? nullptr : &it->second;
}

DatabaseGuard::DatabaseGuard() {
  DirFd database(open(root_path(kRepository).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  DirFd flash(open(root_path("/flash").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  present_ = database.ok() && identity_of_fd(database.get(), &database_);
  if (!flash.ok() || !identity_of_fd(flash.get(), &flash_)) flash_ = database_;
}

bool DatabaseGuard::inside(int dir) const {
  if (!present_) return false;
  Identity here;
  if (!identity_of_fd(dir, &here)) return true;  // what cannot be told is not written into
  if (outside_.count(here)) return false;
  // Where the search upwards stops: the target's root, or a directory known to lie outside.
  DirFd parent(openat(dir, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  Identity above;
  bool known_outside = parent.ok() && identity_of_fd(parent.get(), &above) &&
                       (outside_.count(above) || above == flash_) && here != database_;
  if (!known_outside && lies_below(dir, database_, &flash_)) return true;
  outside_.insert(here);
  return false;
}

bool has_manager_name(const EntryPath& path) {
  const size_t n = sizeof kManagerPrefix - 1;
  for (const std::string& part : path.parents)
    if (part.compare(0, n, kManagerPrefix) == 0) return true;
  return path.leaf.compare(0, n, kManagerPrefix) == 0;
}
