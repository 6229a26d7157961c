// What the local flows check of their selection before the disk is touched, and the account
// they give of it at the end.
#pragma once

#include <string>

#include "flows/package_discovery.h"

// Runs the install list through the package manager's rules against an empty target (nothing
// is written). Each package the rules would refuse is named with the manager's reason: as a
// warning when refusals_fatal is false (true is returned: the rest can be installed, and the
// user is still asked), else as "FATAL ERROR: <reason>" and false.
bool plan_selection(const InstallList& install, bool refusals_fatal);

// Looks in the new system's database for every package of the install list (a bundle and
// each of its members): "" when all are recorded, in their version or newer, otherwise the
// line "ERROR: N of M packages were not installed: a, b" (without a newline) for the flow to
// print last.
std::string not_installed(const InstallList& install);
