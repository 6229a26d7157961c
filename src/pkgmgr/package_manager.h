// The package manager: one per process. It holds the installed list loaded from the package
// database, decides how archives are installed (upgrade, downgrade, dependency and conflict
// rules) and owns the one message channel through which all package-manager output goes.
#pragma once

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

class PackageManager {
 public:
  // The process-wide manager, created on first use and never destroyed.
  static PackageManager& instance();

  // --- messages -----------------------------------------------------------------------
  // Each formats into at most 256 bytes and prints nothing in quiet mode. error() and note()
  // clear a shown progress line first; every message redraws it afterwards.
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

 private:
  PackageManager() = default;
  // Prints one message line around the progress line.
  void message(const char* prefix, bool clear_first, const char* format, va_list args);

  std::vector<std::unique_ptr<Package>> installed_;
  std::string progress_;
  bool quiet_ = false;
};
