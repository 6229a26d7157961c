// What one transaction changed of the target before it was committed, so that a transaction
// that fails can put every bit of it back: the entries it made, the record directories it
// made, the entries it moved aside to make room, the installed packages it set aside (an
// upgraded package, one a plan removes, the package a bundle replaces) and the enabled or
// disabled states a plan changed. One package's installation is one transaction; a bundle's
// installation with all its members is one, each member undoable on its own to a mark.
//
// Setting a package aside moves its files and its record directory to backup names beside
// them and takes it out of the installed list; nothing is deleted until commit(). Entries are
// undone by the identity recorded when they were made or moved (the directory they were made
// in, and the entry itself), never by resolving their path again.
//
// A durable journal also writes each change to a log file in the database directory
// (/flash/var/pdb/.kpk-journal-<n>) before the change is made, so that a transaction that
// dies midway is undone, or a committed one finished, by the next run (recover_journals in
// pkgmgr/recovery.h). A line that names a change which moves, replaces or changes what was
// there (a move aside, a record directory, a state) is on the disk before that change, power
// loss included; lines that name new entries reach the disk with the next such line, at the
// latest after kCreationsPerSync of them: a power loss can leave some new entries behind,
// never lose an old one. The log is locked while it is in use and deleted once the transaction
// is committed or rolled back in full; when something cannot be undone, or a backup cannot be
// deleted, it is kept for the next run. Lines, each ending in a newline:
//   kpk journal 2 <state>           the first line; the state word is rewritten in place:
//                                   "open", then "undo" once the created entries and records
//                                   are gone and restores follow, or "done" once the
//                                   transaction is complete and only backups remain
//   R <name>                        the record directory of <name> is about to be made
//   C <dir> <recorded path>         the entry is about to be made in the directory <dir>
//   D <dir> <recorded path>         the same for a directory
//   M <dir> <backup> <recorded path>  the entry is about to be renamed to <backup> in <dir>
//   S <disabled> <user> <name>      <name>'s state (0/1 each) before it is changed
//   X <n>                           what the lines from the n-th on (the first line after the
//                                   header is line 1) made is gone again; restores follow
//   U <n>                           the lines from the n-th on have been undone already
// <dir> is the directory's identity, "<device>:<inode>".
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "archive/package.h"
#include "system/target_tree.h"

class PackageManager;

class Journal {
 public:
  // durable: keep the log file described above (a transaction onto /flash that writes a
  // record); otherwise the journal lives in memory only.
  explicit Journal(PackageManager& pm, bool durable = false) : pm_(pm), durable_(durable) {}
  // Rolls back whatever is neither committed nor rolled back.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Write-ahead notes: each is logged (and durable) before the change is made. False, with
  // errno set, when the log cannot be written: the change must then not be made.
  bool making_record(const std::string& name);
  bool creating(const Identity& dir, const RecordedPath& entry);
  bool making_directory(const Identity& dir, const RecordedPath& entry);
  bool moving_aside(const Identity& dir, const RecordedPath& entry, const std::string& backup);

  // The changes, once made.
  void made_record(const std::string& name);
  void created(const RecordedPath& entry, const Identity& dir, const Identity& self);
  void made_directory(const RecordedPath& entry, const Identity& dir, const Identity& self);
  void moved_aside(const Identity& dir, const RecordedPath& entry, const std::string& backup);
  // Takes p out of the installed list and moves its entries and its record out of the way.
  // An entry that another installed package records (the same device and inode), or that
  // lies in the database directory, stays where it is. False after a failure was reported
  // for label (the installation that needed the room): what was moved stays noted.
  bool set_aside(Package* p, const std::string& label);
  // p's enabled or disabled state is about to change: remembers (and logs) the state it has
  // now. False, with errno, when the log cannot be written.
  bool state_changing(const Package& p);

  // A point to roll back to: everything noted after it can be undone on its own.
  struct Mark {
    size_t changes = 0;
    unsigned lines = 0;
  };
  Mark mark() const { return Mark{changes_.size(), lines_}; }
  // Undoes the changes noted after m, newest first. False when something could not be put
  // back (reported); the log then stays for the next run.
  bool roll_back_to(const Mark& m);

  // Keeps every change: deletes what was moved or set aside. False when a backup could not
  // be deleted (reported as a warning: the installation stands); the next run deletes it.
  bool commit();
  // Undoes every change, newest first: entries and packages come back, states are written
  // back (with an "enabled"/"disabled" note for each, as the plan told its change). False as
  // roll_back_to.
  bool roll_back();

 private:
  struct Change {
    enum Kind { kCreate, kMadeDir, kRecord, kMove, kSetAside, kState } kind = kCreate;
    RecordedPath entry;                // kCreate, kMadeDir, kMove
    Identity dir, self;                // kCreate, kMadeDir: where and what; kMove: where
    std::string text;                  // kMove: the backup name; kRecord: the package name
    std::unique_ptr<Package> package;  // kSetAside: the package
    size_t index = 0;                  // kSetAside: its place in the installed list
    Package* changed = nullptr;        // kState
    bool disabled = false, user_forced = false;  // kState: the state before
  };

  // Undoes one change; false (reported) when it could not be put back.
  bool undo(Change& change);
  // Undoes the changes from index first on, in two passes (what was made, then what was
  // moved or changed), with the log line or state word that tells the next run where the
  // undoing stands (first_line 0: the whole transaction). False when anything failed.
  bool undo_after(size_t first, unsigned first_line);
  // Appends line to the log (opened on first use) and, with sync_now, makes it durable with
  // every line before it; true at once for a journal in memory.
  bool log(const std::string& line, bool sync_now = true);
  // Makes the lines written so far durable; 0 or the errno.
  int sync_log();
  // Rewrites the state word of the log's first line.
  void set_state(const char* state);
  // Ends the log: deleted when the transaction is over, kept (closed) when the next run must
  // finish it.
  void close_log(bool keep);

  PackageManager& pm_;
  std::vector<Change> changes_;  // in the order they were made
  bool durable_;
  int log_fd_ = -1;
  std::string log_path_;  // host path
  int log_error_ = 0;     // the first failure to write the log; sticky
  unsigned lines_ = 0;    // lines written after the first
  unsigned unsynced_ = 0;  // lines written since the log was last made durable
  // Lines that name new entries are made durable with the next line that must be, or with
  // this many of them.
  static constexpr unsigned kCreationsPerSync = 1024;
  bool keep_log_ = false;  // something could not be undone: the next run must see the log
};
