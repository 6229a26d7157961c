// One package's installation: a transaction owned by the package manager.
//
// An Installation takes one package from a part reader into a target: its record directory,
// its scripts, its files (extracted by archive/extract.h, which reports back to it), the check
// that it is genuine, its database record and its install script. It keeps what the
// extraction created, and its journal what was moved aside, so that a failed installation
// puts everything back; once the package is recorded the transaction is committed and what
// was moved aside is deleted.
//
// Every failure is reported once on the manager's message channel, naming the package by its
// display label; the callers only pass the result on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "archive/extract.h"
#include "archive/package.h"
#include "archive/target_tree.h"

class Journal;
class MessageChannel;
class PackageManager;
class PartReader;

class Installation : public ExtractionSink {
 public:
  // p is installed from r, which stands right after p's metadata parts. Nothing happens
  // before run(). journal: the transaction's record of changes, when the caller made changes
  // of its own before (an upgraded package set aside, a plan for the new one); they are
  // committed or undone with the installation.
  Installation(PackageManager& pm, Package& p, PartReader& r, const Target& target);
  Installation(PackageManager& pm, Package& p, PartReader& r, const Target& target,
               Journal& journal);
  // Rolls back whatever a run left uncommitted.
  ~Installation() override;
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Installs the package. True once it is installed and recorded (the transaction is
  // committed; the install script has run and the "installed" line is printed for a package
  // that is no bundle member). False when it was refused or failed: everything it changed has
  // been put back, and its record directory is gone (a plain archive leaves an installed
  // package's record of its name alone).
  bool run();

  // ExtractionSink: the ownership checks, and the list of what the extraction did.
  bool keep_existing(const std::string& recorded) override;
  bool creating(const std::string& recorded) override;
  bool moving_aside(const RecordedPath& entry, const std::string& backup) override;
  void created(const std::string& recorded) override;
  void made_directory(const RecordedPath& entry) override;
  void moved_aside(const RecordedPath& entry, const std::string& backup) override;
  void broken() override;
  void create_failed(const std::string& entry, int error) override;
  void progress() override;

 private:
  void skip_image();
  bool write_script(const char* name);
  // Puts the scripts of a plain archive, written under staging names, in their places.
  bool place_scripts();
  bool extract();
  void commit();
  void roll_back();

  std::unique_ptr<Journal> own_journal_;
  Journal& journal_;
  PackageManager& pm_;
  Package& p_;
  PartReader& r_;
  Target target_;
  bool plain_;
  bool open_ = false;        // changes were made and are neither committed nor rolled back
  // Directories the extraction made, in order: an installation that fails removes them again
  // (when empty), so that a refused archive leaves none of its directories and modes behind.
  std::vector<RecordedPath> made_dirs_;
  // A plain archive writes its scripts into the record directory of an installed package of
  // its name: under staging names until the archive proves genuine, so that a refused one
  // leaves that package's scripts as they were.
  std::vector<std::string> staged_scripts_;
};

// Installs p from r into target as one Installation.
bool install_package(PackageManager& pm, Package& p, PartReader& r, const Target& target);

// Runs p's script name chrooted into /flash with bash, output discarded. True when there is
// no such script or it exited with status 0; otherwise warns.
bool run_script(MessageChannel& messages, const Package& p, const char* name);
// Removes p's recorded files and its record directory and resets the pending action.
void release_files(Package& p);
// Creates p's record directory and writes its record without installing anything (a bundle).
bool register_package(MessageChannel& messages, Package& p);
// Whether the package whose parts r has just walked past is genuine: r stands on a valid
// signature part (then steps past it), or on the next package header or the clean end of the
// stream with the package's digest on the trusted list.
bool walked_package_is_genuine(PartReader& r);
// Reads through the rest of the package whose metadata r has just read, up to its signature
// part (checked) or the next package header or the end (its digest checked against the
// trusted list). True when the package is genuine; r then stands past its signature.
bool member_proves_genuine(PartReader& r);
// A package name becomes a directory name under /flash/var/pdb and /flash/x.
bool valid_package_name(const std::string& name);
