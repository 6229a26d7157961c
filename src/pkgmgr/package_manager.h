// The package manager: one per process. It holds the installed list loaded from the package
// database, decides how archives are installed (upgrade, downgrade, dependency and conflict
// rules) and owns the one message channel through which all package-manager output goes.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <istream>
#include <map>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "archive/package.h"

class PartReader;

// Flag and result bits of evaluate().
enum EvaluateBits : uint32_t {
  kUpgrade = 0x01,     // an older package of this name is installed
  kDowngrade = 0x02,   // a newer package of this name is installed
  kReinstall = 0x04,   // the same version and build is installed
  kRequirements = 0x08,  // wrong architecture, or a dependency has no enabled provider
  kConflicts = 0x10,   // an enabled installed package excludes it
};

// Package names the user chose to install disabled (true) or enabled (false).
using Choices = std::map<std::string, bool>;

class PackageManager {
 public:
  // The process-wide manager, created on first use and never destroyed.
  static PackageManager& instance();

  // --- messages -----------------------------------------------------------------------
  // Each formats into at most 256 bytes and prints nothing in quiet mode. Every message
  // erases a shown progress line first and redraws it afterwards.
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Shows text as the progress line (nothing when it equals the line shown).
  void show_progress(const std::string& text);
  // label " [" bar "]", the bar filled by the reader's offset over its total_length.
  void show_progress_bar(const std::string& label, PartReader& reader);
  const std::string& progress_line() const { return progress_; }

  bool quiet() const { return quiet_; }
  void set_quiet(bool quiet) { quiet_ = quiet; }

  // --- installed list -----------------------------------------------------------------
  std::vector<std::unique_ptr<Package>>& installed() { return installed_; }
  // The name of the first installed package whose files contain path, or "".
  std::string owner_of(const std::string& path) const;
  // Forgets everything (tests, and the start of a new installation child).
  void reset();

  // --- rules ---------------------------------------------------------------------------
  // Whether candidate may be installed over the installed list: the result bits found; the
  // first finding not permitted by flags is reported.
  uint32_t evaluate(const PackageInfo& candidate, uint32_t flags);
  // Plans and performs enabling, disabling and uninstalling over the whole installed list so
  // that every active package has its dependencies and no two active packages conflict.
  // verbosity 0: silent, 1: warnings and enable/disable notes, 2: also uninstall progress.
  // True when anything changed.
  bool apply(int verbosity);
  // Installs the package whose header r stands on. bundle: the bundle ref of a member, or
  // null. image_name (may be null) receives the record directory of a package with an
  // image. Returns the installed package of that name, or null when it was refused or
  // failed; a refused bundle member's parts are passed over.
  Package* install_package_from(PartReader& r, uint32_t flags, const Choices& choices,
                                const PackageRef* bundle, std::string* image_name);
  // Installs the bundle whose header r stands on: 0 installed, 1 failed, 2 refused, 3 no
  // member could be installed.
  int install_bundle(PartReader& r, uint32_t flags, const Choices& choices,
                     std::string* image_name);
  // Reads one archive from in (every byte read also goes to copy_target when not null) and
  // installs it: 0 installed, 1 refused or failed, 2 bundle refused, 3 no bundle member.
  int install_archive(std::istream& in, uint32_t flags, const Choices& choices,
                      std::streambuf* copy_target, std::string* image_name);

 private:
  PackageManager() = default;
  // Prints one message line around the progress line.
  void message(const char* prefix, bool clear_first, const char* format, va_list args);

  // Sets a package's pending uninstall, except for the candidate being installed.
  void schedule_uninstall(Package& p);
  // Activates q for its dependant (apply step 2) and then q's own requirements.
  void activate(Package& q, const Package& dependant, int verbosity);
  void enable_requirements(Package& p, int verbosity);
  // Takes p out of the installed list; null when it is not there.
  std::unique_ptr<Package> take_out(const Package* p);
  bool is_installed(const Package* p) const;

  std::vector<std::unique_ptr<Package>> installed_;
  Package* shielded_ = nullptr;  // the candidate of a preliminary plan
  std::string progress_;
  bool quiet_ = false;
};
