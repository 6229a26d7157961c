// The package manager of one installation child. It holds the installed list loaded from the
// package database, decides how archives are installed (upgrade, downgrade, dependency and
// conflict rules) and is the one message channel through which all package-manager output
// goes. Whoever installs creates one (the installation child, the offline tools, tests) and
// hands it to everything that reports or looks at the installed list; there is no
// process-wide manager.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <set>
#include <streambuf>
#include <string>
#include <vector>

#include "archive/package.h"
#include "pkgmgr/messages.h"

class Journal;
class PartReader;
struct WalkedArchive;

// Flag and result bits of evaluate().
enum EvaluateBits : uint32_t {
  kUpgrade = 0x01,       // an older package of this name is installed
  kDowngrade = 0x02,     // a newer package of this name is installed
  kReinstall = 0x04,     // the same version and build is installed
  kRequirements = 0x08,  // wrong architecture, or a dependency has no enabled provider
  kConflicts = 0x10,     // an enabled installed package excludes it
};

// Package names the user chose to install disabled (true) or enabled (false).
using Choices = std::map<std::string, bool>;

// The result of installing one archive.
enum class InstallResult : int {
  kInstalled = 0,
  kFailed = 1,         // the package was refused or its installation failed
  kBundleRefused = 2,  // the bundle itself was refused
  kNoMember = 3,       // no member of the bundle could be installed
  kImageNotSaved = -1  // installed, but its image could not be kept (installation child)
};

// What became of one package of an archive, and the installed package of its name afterwards.
struct PackageOutcome {
  enum Kind {
    kInstalled,         // installed now
    kAlreadyInstalled,  // the same version and build was installed already (a bundle member:
                        // installed by this bundle before, and genuine here)
    kRefused,           // refused by the rules (package: an installed one of its name, if any)
    kFailed,            // unreadable, not genuine, or undone by the plan (a requirement missing)
    kBroke,             // its installation failed while writing (reported) and was undone
  } kind;
  Package* package;  // the installed package of its name afterwards; null when there is none
};

class PackageManager : public MessageChannel {
 public:
  PackageManager() = default;
  PackageManager(const PackageManager&) = delete;
  PackageManager& operator=(const PackageManager&) = delete;

  // --- installed list -----------------------------------------------------------------
  std::vector<std::unique_ptr<Package>>& installed() { return installed_; }
  // The name of the first installed package whose files contain path, or "".
  std::string owner_of(const std::string& path) const;
  // The name of the archive being installed (its file), for the messages about an archive
  // whose package has no readable name.
  void set_archive_name(const std::string& name) { archive_name_ = name; }
  // A record of the database could not be read: nothing may be installed over it.
  void set_database_unreadable() { database_unreadable_ = true; }
  bool database_unreadable() const { return database_unreadable_; }
  // The label of a package that could not be read: its name and version when the name was
  // read, the bundle's label for a bundle member, else the archive's name.
  std::string unreadable_label(const PackageInfo& p, const PackageRef* bundle) const;

  // Takes p out of the installed list (its place in *index); null when it is not there.
  std::unique_ptr<Package> take_out(const Package* p, size_t* index = nullptr);
  // Puts a package back at index of the installed list (at the end when the list is shorter).
  void put_back(std::unique_ptr<Package> p, size_t index);

  // --- rules ---------------------------------------------------------------------------
  // Whether candidate may be installed over the installed list: the result bits found; the
  // first finding not permitted by flags is reported.
  uint32_t evaluate(const PackageInfo& candidate, uint32_t flags);
  // Plans and performs enabling, disabling and uninstalling over the whole installed list so
  // that every active package has its dependencies and no two active packages conflict.
  // verbosity 0: silent, 1: warnings and enable/disable notes, 2: also uninstall progress.
  // True when anything changed.
  bool apply(int verbosity);
  // Installs the package whose header r stands on, as a transaction of its own or, for a
  // bundle member, as a step of the bundle's transaction (which it can be undone from
  // alone). bundle: the bundle ref of a member, or null. image_name (may be null) receives
  // the record directory of a package with an image. A package that the walk of its archive
  // did not find genuine is refused before anything is written. A bundle member that is not
  // installed has its parts passed over. A stand-alone package already installed in that
  // version counts as installed when flags permit a reinstall (and is announced as
  // installed).
  PackageOutcome install_package_from(PartReader& r, uint32_t flags, const Choices& choices,
                                      const PackageRef* bundle, std::string* image_name,
                                      Journal* bundle_transaction = nullptr);
  // Installs the bundle whose header r stands on, all of it as one transaction.
  InstallResult install_bundle(PartReader& r, uint32_t flags, const Choices& choices,
                               std::string* image_name);
  // Installs one archive from in, whose bytes walked has judged (walk_archive in image mode
  // over the very same bytes, which nobody can have changed since): nothing of a package that
  // is not genuine is written, and the bytes are not hashed again.
  InstallResult install_archive(std::istream& in, uint32_t flags, const Choices& choices,
                                std::string* image_name, const WalkedArchive& walked);

 private:
  // Sets a package's pending uninstall, except for the candidate being installed.
  void schedule_uninstall(Package& p);
  // Activates q for its dependant (apply step 2) and then q's own requirements.
  void activate(Package& q, const Package& dependant, int verbosity);
  void enable_requirements(Package& p, int verbosity);
  // The steps of apply(), in order: pending actions are planned over the whole list, then
  // performed.
  void pass_bundle_state_to_members();
  void enable_what_active_packages_need(int verbosity);
  void disable_what_active_packages_exclude(int verbosity);
  void drop_what_lost_its_requirements();  // repeated until nothing changes
  void let_bundles_follow_their_members();
  // False (every pending action reset, with an error at verbosity 1) when the plan would
  // leave no package active.
  bool keep_something_active(int verbosity);
  // Uninstalls, disables and enables what the plan says; true when anything changed. A change
  // that cannot be made is reported and ends it (plan_failed_).
  bool perform_plan(int verbosity);
  // Disables or enables p, noting its state before in the plan's journal; false (reported,
  // plan_failed_) when that cannot be written.
  bool change_state(Package& p, bool disable);
  bool is_installed(const Package* p) const;
  // The first installed package of that name, or null.
  Package* installed_named(const std::string& name) const;

  // The steps of install_bundle.
  struct BundleMembers {
    size_t installed = 0;  // members installed now
    size_t carried = 0;    // members this bundle installed before, in the carried version
    bool broke = false;    // a member's installation failed while writing
  };
  // Adds a stand-in for every name of the contents list the reader stands on (if it does),
  // so that those members come in disabled; returns them.
  std::vector<Package*> add_stand_ins(PartReader& r, const Choices& choices,
                                      const PackageRef& ref);
  // Whether a keeps b from being active (excludes), where a bundle's stand-in keeps out only
  // that bundle's own members.
  bool keeps_out(const Package& a, const Package& b) const;
  // Installs the members that follow; strikes every member it carries from old_members.
  BundleMembers install_members(PartReader& r, uint32_t flags, const Choices& choices,
                                const PackageRef& ref, std::set<std::string>* old_members,
                                Journal& transaction);
  // Runs apply(verbosity) with its changes noted in transaction; false when the plan could
  // not be performed (reported), or refused to leave no package active.
  bool plan(int verbosity, Journal& transaction);

  std::vector<std::unique_ptr<Package>> installed_;
  Package* shielded_ = nullptr;  // the candidate of a preliminary plan
  Journal* journal_ = nullptr;   // while set, the plan's changes can still be undone
  std::string label_;            // the installation the plan belongs to, for its messages
  bool plan_failed_ = false;     // a change of the last plan could not be made
  bool plan_refused_ = false;    // the last plan would have left no package active
  const WalkedArchive* walked_ = nullptr;   // the verdicts on the archive being installed
  std::vector<std::string> to_finish_;      // members whose scripts run once the bundle is in
  std::string archive_name_;
  bool database_unreadable_ = false;
};
