#include "pkgmgr/install_plan.h"

#include <fstream>
#include <memory>

#include "pkgmgr/database.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/version.h"
#include "system/root.h"

namespace {

std::unique_ptr<Package> planned(const PackageInfo& info, bool relations) {
  auto p = std::make_unique<Package>();
  p->name = info.name;
  p->version = info.version;
  p->build = info.build;
  p->architecture = info.architecture;
  p->is_bundle = info.is_bundle;
  // A bundle's own relations are signed by nobody: an installation does not record them.
  if (relations) {
    p->depends = info.depends;
    p->provides = info.provides;
    p->conflicts = info.conflicts;
  }
  return p;
}

// Plans one package: false with the manager's reason when the rules refuse it.
bool plan_package(PackageManager& pm, const PackageInfo& p, std::vector<std::string>& said,
                  std::vector<PlannedRefusal>& refused) {
  said.clear();
  uint32_t found = pm.evaluate(p, kUpgrade | kDowngrade | kReinstall);
  if (found & (kRequirements | kConflicts)) {
    std::string reason = said.empty() ? "can not install " + package_label(p) : said.front();
    if (reason.compare(0, 7, "ERROR: ") == 0) reason.erase(0, 7);
    refused.push_back({package_label(p), reason});
    return false;
  }
  if (!(found & (kDowngrade | kReinstall))) pm.installed().push_back(planned(p, true));
  return true;
}

}  // namespace

std::vector<PlannedRefusal> plan_fresh_installation(const std::vector<const PackageInfo*>& list) {
  PackageManager pm;
  std::vector<std::string> said;
  pm.capture(&said);
  std::vector<PlannedRefusal> refused;
  for (const PackageInfo* archive : list) {
    if (!archive->is_bundle) {
      plan_package(pm, *archive, said, refused);
      continue;
    }
    size_t accepted = 0;
    for (const auto& member : archive->members)
      if (plan_package(pm, *member, said, refused)) ++accepted;
    if (accepted == 0) {
      refused.push_back({package_label(*archive), "installation of " + package_label(*archive) +
                                                      " failed: none of its packages could be "
                                                      "installed"});
      continue;
    }
    pm.installed().push_back(planned(*archive, false));
  }
  return refused;
}

bool recorded_in_database(const std::string& name, uint32_t version) {
  if (!valid_package_name(name)) return false;
  std::ifstream in(root_path(kRepository + name + "/version"));
  uint32_t recorded = 0, build = 0;
  if (!(in >> recorded >> build)) return false;
  return recorded >= version;
}
