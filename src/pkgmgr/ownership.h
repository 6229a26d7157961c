// Who owns an entry of the target, decided from the entry itself (device and inode, a link at
// the end of its path not followed), never from how a path to it is spelled; and the database
// directory, which belongs to the package manager alone.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/package.h"
#include "system/target_tree.h"

// The identities of the entries that installed packages record.
class OwnerIndex {
 public:
  // Every recorded path of installed is resolved inside its target; paths that lead nowhere
  // are left out.
  explicit OwnerIndex(const std::vector<std::unique_ptr<Package>>& installed);
  // The name of the first package (in list order) that records the entry id; null when none.
  const std::string* owner(const Identity& id) const;
  // 0 when every recorded path could be looked at, else the errno of the first that could not
  // (then an entry without an owner here may still have one).
  int error() const { return error_; }

 private:
  std::map<Identity, std::string> owners_;
  int error_ = 0;
};

// The database directory /flash/var/pdb as it stands when the guard is made.
class DatabaseGuard {
 public:
  DatabaseGuard();
  // Whether the directory dir is the database directory or lies anywhere below it.
  bool inside(int dir) const;

 private:
  bool present_ = false;
  Identity database_;
  Identity flash_;  // where the search upwards stops
  // Directories found to lie outside: a search upwards that reaches one stops there.
  mutable std::set<Identity> outside_;
};

// Whether a component of path begins with the prefix of the manager's own files (".kpk-").
bool has_manager_name(const EntryPath& path);
