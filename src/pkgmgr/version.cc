#include "pkgmgr/version.h"

#include "archive/package.h"

int compare_packages(const PackageInfo& a, const PackageInfo& b) {
  if (!same_name(a.name, b.name)) {
    for (const auto& member : a.members)
      if (same_name(member->name, b.name)) return compare_packages(*member, b);
    for (const auto& member : b.members)
      if (same_name(member->name, a.name)) return compare_packages(a, *member);
    return 0;
  }
  if (a.version != b.version) return a.version > b.version ? 1 : -1;
  if (a.build != b.build) return a.build > b.build ? 1 : -1;
  return 0;
}
