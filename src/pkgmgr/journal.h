// What an installation changed of the target before it was committed, so that a failed
// installation can put every bit of it back: entries moved aside to make room, installed
// packages set aside (an upgraded package, one the plan for the new package removes, the
// package a bundle replaces) and enabled or disabled states the plan changed.
//
// Setting a package aside moves its files and its record directory to backup names beside
// them and takes it out of the installed list; nothing is deleted until commit(). roll_back()
// undoes everything, newest first; commit() deletes the backups and the packages set aside.
//
// A durable journal also writes each change to a log file in the database directory
// (/flash/var/pdb/.kpk-journal-<n>) before the change is made, so that an installation that
// dies midway is undone, or a committed one finished, by the next run (recover_journals in
// pkgmgr/recovery.h). The log is locked while it is in use and deleted once the transaction
// is committed or rolled back. Lines, each ending in a newline:
//   kpk journal 1 <state>      the first line; the state word is rewritten in place (no
//                              new space needed): "open", then "undo" once the created
//                              entries and records are gone and restores follow, or "done"
//                              once the transaction is complete and only backups remain
//   R <name>                   the record directory of <name> is about to be made
//   C <recorded path>          the entry is about to be created
//   M <backup> <recorded path> the entry is about to be renamed to <backup> beside it
//   S <disabled> <user> <name> <name>'s state (0/1 each) before it is changed
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "archive/package.h"
#include "archive/target_tree.h"

class PackageManager;

class Journal {
 public:
  // durable: keep the log file described above (an installation onto /flash that writes a
  // record); otherwise the journal lives in memory only.
  explicit Journal(PackageManager& pm, bool durable = false) : pm_(pm), durable_(durable) {}
  // Rolls back whatever is neither committed nor rolled back.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Write-ahead notes of a durable journal: each is logged before the change is made. False,
  // with errno set, when the log cannot be written: the change must then not be made (and
  // every later note fails too).
  bool making_record(const std::string& name);
  bool creating(const std::string& recorded);
  bool moving_aside(const RecordedPath& entry, const std::string& backup);

  // The entry was renamed to backup in its directory (by the extraction).
  void moved_aside(const RecordedPath& entry, const std::string& backup);
  // Takes p out of the installed list and moves its files and record out of the way (what
  // cannot be logged stays where it is).
  void set_aside(Package* p);
  // p's enabled or disabled state is about to change: remembers the state it has now.
  void state_changing(const Package& p);

  // Keeps every change: deletes what was moved or set aside.
  void commit();
  // Undoes every change, newest first: entries and packages come back, states are written
  // back (with an "enabled"/"disabled" note for each, as the plan told its change).
  void roll_back();

 private:
  struct Change {
    enum Kind { kMove, kSetAside, kState } kind;
    RecordedPath entry;  // kMove
    std::string backup;  // kMove
    std::unique_ptr<Package> package;  // kSetAside: the package; kState: null
    size_t index = 0;                  // kSetAside: its place in the installed list
    Package* changed = nullptr;        // kState
    bool disabled = false, user_forced = false;  // kState: the state before
  };

  // Moves one entry aside and records it; nothing when there is nothing (or a directory).
  void move_entry(const RecordedPath& entry);
  // Appends line to the log (opened on first use); true at once for a journal in memory.
  bool log(const std::string& line, bool flush = false);
  // Rewrites the state word of the log's first line.
  void set_state(const char* state);
  // Deletes the log: the transaction is over.
  void close_log();

  PackageManager& pm_;
  std::vector<Change> changes_;  // in the order they were made
  bool durable_;
  int log_fd_ = -1;
  std::string log_path_;  // host path
  int log_error_ = 0;     // the first failure to write the log; sticky
};
