#include "flows/selection_check.h"

#include <string>
#include <vector>

#include "pkgmgr/install_plan.h"
#include "system/output.h"

bool plan_selection(const InstallList& install, bool refusals_fatal) {
  std::vector<const PackageInfo*> list(install.begin(), install.end());
  std::vector<PlannedRefusal> refused = plan_fresh_installation(list);
  if (refused.empty()) return true;
  if (refusals_fatal) {
    out_printf("\nFATAL ERROR: %s\n", refused.front().reason.c_str());
    return false;
  }
  for (const PlannedRefusal& refusal : refused) out_printf("WARNING: %s\n", refusal.reason.c_str());
  return true;
}

std::string not_installed(const InstallList& install) {
  size_t chosen = 0;
  std::string missing;
  size_t missed = 0;
  auto look = [&](const PackageInfo& p) {
    ++chosen;
    if (recorded_in_database(p.name, p.version)) return;
    missing += (missed++ ? ", " : "") + p.name;
  };
  for (const LocalPackage* package : install) {
    for (const auto& member : package->members) look(*member);
    look(*package);
  }
  if (missed == 0) return "";
  return "ERROR: " + std::to_string(missed) + " of " + std::to_string(chosen) +
         (chosen == 1 ? " package was" : " packages were") + " not installed: " + missing;
}
