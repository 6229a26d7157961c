#include "pkgmgr/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "archive/version_text.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/recovery.h"
#include "system/fd_stream.h"
#include "system/root.h"

Journal::~Journal() {
  if (!changes_.empty() || log_fd_ >= 0) roll_back();
}

bool Journal::log(const std::string& line, bool flush) {
  if (!durable_) return true;
  if (line.find('\n') + 1 != line.size()) {
    errno = EINVAL;  // a name with a newline in it would read back as other lines
    return false;
  }
  if (log_error_ != 0) {
    errno = log_error_;
    return false;
  }
  std::string text = line;
  if (log_fd_ < 0) {
    make_dirs(kJournalDir);
    const std::string dir = root_path(kJournalDir);
    // Journals nest (a bundle's, then each member's): the newest has the highest number.
    for (unsigned n = 1; log_fd_ < 0; ++n) {
      log_path_ = dir + kJournalPrefix + std::to_string(n);
      log_fd_ = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600);
      if (log_fd_ < 0 && errno != EEXIST) {
        log_error_ = errno;
        return false;
      }
    }
    flock(log_fd_, LOCK_EX);  // a live transaction: the recovery of another run keeps off
    text = std::string(kJournalHeader) + "open\n" + text;
    flush = true;
  }
  int error = write_all(log_fd_, text.data(), text.size());
  if (error == 0 && flush && fdatasync(log_fd_) != 0) error = errno;
  if (error != 0) {
    log_error_ = error;
    errno = error;
    return false;
  }
  return true;
}

void Journal::set_state(const char* state) {
  if (log_fd_ < 0) return;
  const size_t at = sizeof kJournalHeader - 1;
  if (pwrite(log_fd_, state, 4, off_t(at)) == 4) fdatasync(log_fd_);
}

void Journal::close_log() {
  if (log_fd_ < 0) return;
  unlink(log_path_.c_str());
  close(log_fd_);
  log_fd_ = -1;
  log_error_ = 0;
}

bool Journal::making_record(const std::string& name) { return log("R " + name + "\n"); }

bool Journal::creating(const std::string& recorded) { return log("C " + recorded + "\n"); }

bool Journal::moving_aside(const RecordedPath& entry, const std::string& backup) {
  return log("M " + backup + " " + entry.text() + "\n");
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
  std::string backup = backup_name(dir.get());
  if (!moving_aside(entry, backup)) return;
  if (renameat(dir.get(), entry.path.leaf.c_str(), dir.get(), backup.c_str()) == 0)
    moved_aside(entry, backup);
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
  log("S " + std::to_string(p.disabled) + " " + std::to_string(p.user_forced) + " " + p.name +
      "\n");
  Change change{Change::kState,  {}, "", nullptr, 0, const_cast<Package*>(&p), p.disabled,
                p.user_forced};
  changes_.push_back(std::move(change));
}

void Journal::commit() {
  set_state("done");
  for (const Change& change : changes_)
    if (change.kind == Change::kMove) drop_backup(change.entry, change.backup);
  changes_.clear();
  close_log();
}

void Journal::roll_back() {
  // What the transaction created is gone by now (its owner removed it first).
  set_state("undo");
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
  close_log();
}
