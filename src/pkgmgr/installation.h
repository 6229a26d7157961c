// One package's installation, a step of a transaction owned by the package manager.
//
// An Installation writes one package from a part reader into a target: its record directory,
// its scripts, its files (extracted by archive/extract.h, which reports back to it), the check
// that it is genuine and its database record. Every change is noted in the transaction's
// journal before it is made. A failed installation undoes its own changes (back to where the
// journal stood when it began); a successful one leaves the transaction to its owner, who
// commits it or rolls it back, and only then runs the install script (finish_package).
//
// No entry may lead into the database directory or carry a name of the manager's own files,
// and who owns an entry that is already there is decided from the entry itself: a package
// never replaces, through any path, a file another installed package records.
//
// Every failure is reported once on the manager's message channel, naming the package by its
// display label; the callers only pass the result on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/package.h"
#include "archive/package_walk.h"
#include "system/target_tree.h"
#include "pkgmgr/journal.h"

class DatabaseGuard;
class MessageChannel;
class OwnerIndex;
class PackageManager;
class PartReader;

class Installation : public ExtractionSink, private PackageParts {
 public:
  // p is installed from r, which stands right after p's metadata parts, into target; its
  // changes are noted in journal. judged: the verdict of an earlier walk over the very same
  // bytes (then r need not hash), or null: r hashes, and the proof is checked here. Nothing
  // happens before run().
  Installation(PackageManager& pm, Package& p, PartReader& r, const Target& target,
               Journal& journal, const WalkedPackage* judged = nullptr);
  ~Installation() override;
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Writes the package. True once it is written and recorded (p's files list filled); false
  // when it failed or proved not genuine: everything it changed has been undone again.
  bool run();

  // ExtractionSink: the ownership checks, and the notes of what the extraction did.
  bool accepts_name(const EntryPath& path) override;
  bool accepts_directory(int dir) override;
  bool keep_existing(const std::string& recorded, const struct stat& existing,
                     bool dangling) override;
  bool creating(const Identity& dir, const RecordedPath& entry) override;
  bool making_directory(const Identity& dir, const RecordedPath& entry) override;
  bool moving_aside(const Identity& dir, const RecordedPath& entry,
                    const std::string& backup) override;
  void created(const RecordedPath& entry, const Identity& dir, const Identity& self) override;
  void made_directory(const RecordedPath& entry, const Identity& dir,
                      const Identity& self) override;
  void moved_aside(const Identity& dir, const RecordedPath& entry,
                   const std::string& backup) override;
  void broken() override;
  void create_failed(const std::string& entry, int error) override;
  void progress() override;

 private:
  // PackageParts: what the installation does with the parts after the metadata.
  bool image(PartReader& r) override;
  bool install_script(PartReader& r) override;
  bool uninstall_script(PartReader& r) override;
  bool file_data(PartReader& r) override;

  bool write_script(const char* name);
  // Puts the scripts of a plain archive, written under staging names, in their places.
  bool place_scripts();
  // Undoes everything this installation changed.
  void fail();

  PackageManager& pm_;
  Package& p_;
  PartReader& r_;
  Target target_;
  Journal& journal_;
  const WalkedPackage* judged_;
  Journal::Mark mark_;
  bool plain_;
  std::unique_ptr<DatabaseGuard> database_;
  std::unique_ptr<OwnerIndex> owners_;  // made when an entry is first found in the way
  // A plain archive writes its scripts into the record directory of an installed package of
  // its name: under staging names until the archive proves genuine, so that a refused one
  // leaves that package's scripts as they were.
  std::vector<std::string> staged_scripts_;
};

// Installs p from r into target as a transaction of its own, without the manager's rules
// (the single-package mode): run, then commit and finish_package. judged as for Installation.
bool install_package(PackageManager& pm, Package& p, PartReader& r, const Target& target,
                     const WalkedPackage* judged = nullptr);
// What follows a committed installation: p's install script (unless p is disabled), and for a
// package that is no bundle member the "installed" line.
void finish_package(PackageManager& pm, const Package& p);

// Runs p's script name chrooted into /flash with bash, output discarded. True when there is
// no such script or it exited with status 0; otherwise warns.
bool run_script(MessageChannel& messages, const Package& p, const char* name);
// Makes p's record directory and writes its record without installing anything (a bundle),
// noted in journal. False after the failure was reported (the record directory is gone).
bool register_package(PackageManager& pm, Package& p, Journal& journal);
