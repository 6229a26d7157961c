#include "pkgmgr/journal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "archive/version_text.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/package_manager.h"

Journal::~Journal() {
  if (!changes_.empty()) roll_back();
}

void Journal::moved_aside(const RecordedPath& entry, const std::string& backup) {
  Change change{Change::kMove, entry, backup, nullptr, 0, nullptr, false, false};
  changes_.push_back(std::move(change));
}

void Journal::move_entry(const RecordedPath& entry) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  struct stat st;
  if (!dir.ok() || fstatat(dir.get(), entry.path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return;
  std::string backup = move_aside(dir.get(), entry.path.leaf);
  if (!backup.empty()) moved_aside(entry, backup);
}

void Journal::set_aside(Package* p) {
  size_t index = 0;
  std::unique_ptr<Package> owned = pm_.take_out(p, &index);
  if (!owned) return;
  for (const RecordedPath& entry : removal_order(owned->files)) move_entry(entry);
  // The record directory goes aside whole, under a name the database loader skips.
  RecordedPath record;
  record.path.parents = {"var", "pdb"};
  record.path.leaf = owned->name;
  if (valid_package_name(owned->name)) move_entry(record);
  Change change{Change::kSetAside, {}, "", std::move(owned), index, nullptr, false, false};
  changes_.push_back(std::move(change));
}

void Journal::state_changing(const Package& p) {
  Change change{Change::kState,  {}, "", nullptr, 0, const_cast<Package*>(&p), p.disabled,
                p.user_forced};
  changes_.push_back(std::move(change));
}

void Journal::commit() {
  for (const Change& change : changes_)
    if (change.kind == Change::kMove) drop_backup(change.entry, change.backup);
  changes_.clear();
}

void Journal::roll_back() {
  for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
    Change& change = *it;
    if (change.kind == Change::kMove) {
      restore_entry(change.entry, change.backup);
    } else if (change.kind == Change::kSetAside) {
      change.package->pending = PendingAction::None;
      pm_.put_back(std::move(change.package), change.index);
    } else {
      Package& p = *change.changed;
      p.user_forced = change.user_forced;
      if (change.disabled) {
        mark_disabled(p);
        pm_.note("disabled %s", package_label(p).c_str());
      } else {
        mark_enabled(p);
        pm_.note("enabled %s", package_label(p).c_str());
      }
    }
  }
  changes_.clear();
}
