// What an installation changed of the target before it was committed, so that a failed
// installation can put every bit of it back: entries moved aside to make room, installed
// packages set aside (an upgraded package, one the plan for the new package removes, the
// package a bundle replaces) and enabled or disabled states the plan changed.
//
// Setting a package aside moves its files and its record directory to backup names beside
// them and takes it out of the installed list; nothing is deleted until commit(). roll_back()
// undoes everything, newest first; commit() deletes the backups and the packages set aside.
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
  explicit Journal(PackageManager& pm) : pm_(pm) {}
  // Rolls back whatever is neither committed nor rolled back.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The entry was renamed to backup in its directory (by the extraction).
  void moved_aside(const RecordedPath& entry, const std::string& backup);
  // Takes p out of the installed list and moves its files and record out of the way.
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

  PackageManager& pm_;
  std::vector<Change> changes_;  // in the order they were made
};
