// A whole installation into a scratch root, as the installation child does it, for the
// installation and bundle fuzz targets.
//
// The world is made once per process: a target (/flash) with genuine packages installed
// through the real path (a plain package, one that depends on it, a bundle with a member),
// a planted file no package owns, links that point out of the target, and files outside the
// target that nothing may touch. Every run starts from a fresh copy of it, feeds the archive
// to the installation child's body (image mode, archive on descriptor 0) in this process,
// and then checks:
//  - no descriptor is left open;
//  - nothing outside /flash changed (in the scratch root and beside it);
//  - unless the archive carries a genuine package, every installed package's files and
//    version are as they were, and no new non-directory entry is left in the target beyond
//    record files (a refused or failed archive puts everything back).
#pragma once

#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace kpk {
struct PackageSpec;
}

class InstallWorld {
 public:
  // Builds the world for the named fuzz target (once per process).
  static InstallWorld& get(const char* target);

  // Runs one archive and checks the oracle; a failed check ends the process.
  void run(const std::string& archive);

  // The signed parts of the world's genuine packages, for building bundles: "base" 1.0 (as
  // installed), "base" 1.1 (a genuine upgrade), "alpha" 1.0, "beta" 1.0 (needs alpha).
  const std::string& member_parts(int i) const;
  static constexpr int kMembers = 4;

 private:
  explicit InstallWorld(const char* target);
  void install(const std::string& archive);
  // Whether some package of the archive proves genuine (a valid signature or a trusted
  // digest), walked as the installation walks it.
  static bool carries_genuine_package(const std::string& archive);

  const char* target_;
  std::string scratch_, template_, root_, outside_;
  // The template's and the outside's fingerprints, taken once. The root is restored from the
  // template only after a run changed it, and then only the entries that differ (the root's
  // fingerprint after that run tells which): a run that left it as the template hands it on.
  Fingerprint template_print_, outside_print_, changed_print_;
  bool root_changed_ = true;
  unsigned restores_ = 0;
  std::string members_[kMembers];
  int saved_stdin_ = -1;
  std::string cwd_;
};
