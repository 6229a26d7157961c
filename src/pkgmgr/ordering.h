// The package manager's ordering of a package list: duplicates of the same package are
// dropped in favour of the newer one (or the older one), then the survivors are placed so
// that a package follows what it depends on and what excludes it.
#pragma once

#include <vector>

#include "archive/package.h"

// messages: warn "omitting package %s: newer package is already provided" (or "older") for
// every entry dropped for another version. (The ordering runs in the installer itself, where
// no installation and no progress line is open: the warnings are plain console lines.) Of entries of equal version and build exactly one
// is kept (a bundle beats a plain package).
std::vector<PackageInfo*> order_packages(const std::vector<PackageInfo*>& list, bool prefer_older,
                                         bool messages);

// The same for a list of a derived record type.
template <typename T>
std::vector<T*> order_packages_as(const std::vector<T*>& list, bool prefer_older, bool messages) {
  std::vector<PackageInfo*> base(list.begin(), list.end());
  std::vector<T*> out;
  for (PackageInfo* p : order_packages(base, prefer_older, messages)) out.push_back(static_cast<T*>(p));
  return out;
}
