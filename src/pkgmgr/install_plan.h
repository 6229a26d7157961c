// What the package manager would refuse of a list of archives installed one after another
// onto an empty target, decided by its own rules before anything is written: the local flows
// ask this before they erase the disk, so that a selection that cannot be installed is named
// while the user can still cancel.
#pragma once

#include <string>
#include <vector>

#include "archive/package.h"

struct PlannedRefusal {
  std::string label;   // the refused package (a bundle member, or the bundle itself)
  std::string reason;  // the manager's own words, e.g. "can not install a-1.0: b is not
                       // installed, but is required"
};

// Installs, in memory only, each archive's package (a bundle: its members, then the bundle)
// in the given order with the rules of an installation child in image mode, and returns what
// would be refused for a missing requirement, another architecture or a conflict. A package
// of a name that is already planned (a reinstall, or an older version) is not a refusal: its
// name is installed either way. Nothing is read or written.
std::vector<PlannedRefusal> plan_fresh_installation(const std::vector<const PackageInfo*>& list);

// Whether the database on /flash records a package named name in version or newer. Reads
// only the record's version file.
bool recorded_in_database(const std::string& name, uint32_t version);
