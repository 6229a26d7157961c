#include "pkgmgr/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/version_text.h"
#include "pkgmgr/database.h"
#include "pkgmgr/ownership.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/recovery.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

RecordedPath record_entry(const std::string& name) {
  RecordedPath record;
  record.path.parents = {"var", "pdb"};
  record.path.leaf = name;
  return record;
}

}  // namespace

Journal::~Journal() {
  if (!changes_.empty() || log_fd_ >= 0) roll_back();
}

bool Journal::log(const std::string& line, bool sync_now) {
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
    // Journals of earlier runs that are still to be finished keep their numbers: a new one
    // takes the next free number.
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
    fchmod(log_fd_, 0600);    // whatever the umask: recovery trusts only logs made like this
    text = std::string(kJournalHeader) + "open\n" + text;
  }
  int error = write_all(log_fd_, text.data(), text.size());
  ++unsynced_;
  if (error == 0 && (sync_now || unsynced_ >= kCreationsPerSync)) error = sync_log();
  if (error == 0 && lines_ == 0) {
    // The log's own name must survive a power loss as well.
    int dir = open(root_path(kJournalDir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  if (error != 0) {
    log_error_ = error;
    errno = error;
    return false;
  }
  ++lines_;
  return true;
}

int Journal::sync_log() {
  if (log_fd_ < 0 || unsynced_ == 0) return 0;
  if (fdatasync(log_fd_) != 0) return errno;
  unsynced_ = 0;
  return 0;
}

void Journal::set_state(const char* state) {
  if (log_fd_ < 0) return;
  const size_t at = sizeof kJournalHeader - 1;
  if (pwrite(log_fd_, state, 4, off_t(at)) == 4) fdatasync(log_fd_);
  unsynced_ = 0;
}

void Journal::close_log(bool keep) {
  if (log_fd_ < 0) return;
  if (!keep) unlink(log_path_.c_str());
  close(log_fd_);
  log_fd_ = -1;
  log_error_ = 0;
  lines_ = 0;
  unsynced_ = 0;
  keep_log_ = false;
}

bool Journal::making_record(const std::string& name) { return log("R " + name + "\n"); }

bool Journal::creating(const Identity& dir, const RecordedPath& entry) {
  // Written before the entry is made, and on the disk with the next line that must be (a new
  // entry loses nothing: a power loss before then leaves at most some new entries behind).
  return log("C " + dir.text() + " " + entry.text() + "\n", false);
}

bool Journal::making_directory(const Identity& dir, const RecordedPath& entry) {
  return log("D " + dir.text() + " " + entry.text() + "\n", false);
}

bool Journal::moving_aside(const Identity& dir, const RecordedPath& entry,
                           const std::string& backup) {
  return log("M " + dir.text() + " " + backup + " " + entry.text() + "\n");
}

void Journal::made_record(const std::string& name) {
  Change change;
  change.kind = Change::kRecord;
  change.text = name;
  changes_.push_back(std::move(change));
}

void Journal::created(const RecordedPath& entry, const Identity& dir, const Identity& self) {
  Change change{Change::kCreate, entry, dir, self, "", nullptr, 0, nullptr, false, false};
  changes_.push_back(std::move(change));
}

void Journal::made_directory(const RecordedPath& entry, const Identity& dir,
                             const Identity& self) {
  Change change{Change::kMadeDir, entry, dir, self, "", nullptr, 0, nullptr, false, false};
  changes_.push_back(std::move(change));
}

void Journal::moved_aside(const Identity& dir, const RecordedPath& entry,
                          const std::string& backup) {
  Change change{Change::kMove, entry, dir, {}, backup, nullptr, 0, nullptr, false, false};
  changes_.push_back(std::move(change));
}

bool Journal::set_aside(Package* p, const std::string& label) {
  size_t index = 0;
  std::unique_ptr<Package> owned = pm_.take_out(p, &index);
  if (!owned) return true;
  Package* package = owned.get();
  Change change{Change::kSetAside, {}, {}, {}, "", std::move(owned), index, nullptr, false, false};
  changes_.push_back(std::move(change));

  // What will move: every file of the package that is there, but what another package records
  // by the entry itself (a path of this package that leads to it through a link is no claim on
  // it) or what lies in the database directory; then the record directory, whole, under a name
  // the database loader skips.
  struct Move {
    RecordedPath entry;
    Identity dir;
    std::string backup;
  };
  std::vector<Move> moves;
  const OwnerIndex others(pm_.installed());
  const DatabaseGuard database;
  std::string failed;
  int error = others.error();  // who owns what must be known before anything moves
  if (error != 0) failed = package->name;
  // False (failed, error) when whether the entry is there cannot even be told.
  auto plan = [&](const RecordedPath& entry, bool record) {
    DirFd dir = open_parent(entry.target(), entry.path, false, 0);
    Identity dir_id, self;
    bool directory = false;
    if (!dir.ok() || !identity_at(dir.get(), entry.path.leaf, &self, &directory) ||
        !identity_of_fd(dir.get(), &dir_id)) {
      if (errno == ENOENT || errno == ENOTDIR) return true;  // nothing there to move
      error = errno;
      failed = entry.text();
      return false;
    }
    // A directory in the place of a file stays: it may hold what is not this package's.
    if (directory != record) return true;
    if (!record && (others.owner(self) || database.inside(dir.get()))) return true;
    moves.push_back(Move{entry, dir_id, backup_name(dir.get())});
    return true;
  };
  bool told = error == 0;
  for (const RecordedPath& entry : told ? removal_order(package->files)
                                        : std::vector<RecordedPath>())
    if (!(told = plan(entry, false))) break;
  if (told && valid_package_name(package->name)) told = plan(record_entry(package->name), true);

  // Every move is on the disk in the log before the first one is made.
  for (const Move& m : moves) {
    if (error != 0) break;
    if (!log("M " + m.dir.text() + " " + m.backup + " " + m.entry.text() + "\n", false)) {
      error = errno;
      break;
    }
  }
  if (error == 0) error = sync_log();
  if (failed.empty() && !moves.empty()) failed = moves.front().entry.text();
  for (const Move& m : moves) {
    if (error != 0) break;
    DirFd dir = open_parent_if(m.entry, m.dir);
    if (!dir.ok() ||
        renameat(dir.get(), m.entry.path.leaf.c_str(), dir.get(), m.backup.c_str()) != 0) {
      error = errno ? errno : ENOENT;
      failed = m.entry.text();
      break;
    }
    moved_aside(m.dir, m.entry, m.backup);
  }
  if (error == 0) return true;
  pm_.report_move_failure(label, failed, error);
  return false;
}

bool Journal::state_changing(const Package& p) {
  if (!log("S " + std::to_string(p.disabled) + " " + std::to_string(p.user_forced) + " " +
           p.name + "\n"))
    return false;
  Change change{Change::kState, {}, {}, {}, "", nullptr, 0, const_cast<Package*>(&p),
                p.disabled, p.user_forced};
  changes_.push_back(std::move(change));
  return true;
}

bool Journal::undo(Change& change) {
  switch (change.kind) {
    case Change::kCreate:
      if (remove_made_entry(change.entry, change.dir, change.self)) return true;
      pm_.error("could not remove %s: %s", change.entry.text().c_str(), strerror(errno));
      return false;
    case Change::kMadeDir:
      remove_made_directory(change.entry, change.dir, change.self);
      return true;
    case Change::kRecord: {
      Package p;
      p.name = change.text;
      if (valid_package_name(p.name)) remove_record(p);
      return true;
    }
    case Change::kMove:
      if (restore_entry(change.entry, change.dir, change.text)) return true;
      pm_.error("could not put back %s: %s", change.entry.text().c_str(), strerror(errno));
      return false;
    case Change::kSetAside:
      change.package->pending = PendingAction::None;
      pm_.put_back(std::move(change.package), change.index);
      return true;
    case Change::kState: {
      Package& p = *change.changed;
      p.user_forced = change.user_forced;
      bool ok = change.disabled ? mark_disabled(p) : mark_enabled(p);
      pm_.note("%s %s", change.disabled ? "disabled" : "enabled", package_label(p).c_str());
      if (!ok)
        pm_.error("could not %s %s: %s", change.disabled ? "disable" : "enable",
                  package_label(p).c_str(), strerror(errno));
      return ok;
    }
  }
  return true;
}

bool Journal::undo_after(size_t first, unsigned first_line) {
  // What an undo removes (the first pass) rather than puts back (the second).
  auto made_by_transaction = [](Change::Kind kind) {
    return kind == Change::kCreate || kind == Change::kMadeDir || kind == Change::kRecord;
  };
  // First what the transaction made goes, newest first; only then does what it moved come
  // back, so that nothing put back is ever taken for something made.
  bool made_gone = true;
  for (size_t i = changes_.size(); i-- > first;)
    if (made_by_transaction(changes_[i].kind)) made_gone = undo(changes_[i]) && made_gone;
  if (!made_gone) {
    // Nothing is put back on the disk now: the next run removes what was made and only then
    // puts back what was moved. The installed list is made whole again here all the same.
    for (size_t i = changes_.size(); i-- > first;)
      if (changes_[i].kind == Change::kSetAside) undo(changes_[i]);
    changes_.resize(first);
    keep_log_ = true;
    return false;
  }
  bool whole = true;
  if (first_line == 0)
    set_state("undo");
  else if (!log("X " + std::to_string(first_line) + "\n"))
    whole = false;
  for (size_t i = changes_.size(); i-- > first;)
    if (!made_by_transaction(changes_[i].kind)) whole = undo(changes_[i]) && whole;
  changes_.resize(first);
  return whole;
}

bool Journal::roll_back_to(const Mark& m) {
  if (changes_.size() <= m.changes && lines_ <= m.lines) return true;
  bool whole = undo_after(m.changes, m.lines + 1);
  // The next run must not undo these lines again: what they name may be another's by then.
  if (!log("U " + std::to_string(m.lines + 1) + "\n")) whole = false;
  if (!whole) keep_log_ = true;
  return whole;
}

bool Journal::commit() {
  set_state("done");
  bool whole = true;
  for (const Change& change : changes_) {
    if (change.kind != Change::kMove || drop_backup(change.entry, change.dir, change.text))
      continue;
    pm_.warning("could not delete the replaced %s: %s", change.entry.text().c_str(),
                strerror(errno));
    whole = false;
  }
  changes_.clear();
  whole = whole && !keep_log_;
  close_log(!whole);
  return whole;
}

bool Journal::roll_back() {
  bool whole = undo_after(0, 0) && !keep_log_;
  close_log(!whole);
  return whole;
}
