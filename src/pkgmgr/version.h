// The ordering of two packages by version and build time. The text forms of versions and the
// package labels live with the package records (archive/version_text.h).
#pragma once

#include "archive/version_text.h"

struct PackageInfo;

// Orders two packages: +1 when a is newer, -1 when b is newer, 0 when they are the same or
// unrelated. Packages of different names are compared through a bundle member that carries
// the other's name.
int compare_packages(const PackageInfo& a, const PackageInfo& b);
