#include "flows/package_discovery.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "frontend/package_menu.h"
#include "pkgmgr/ordering.h"
#include "pkgmgr/version.h"
#include "system/output.h"
#include "system/root.h"

namespace {

const char kMedium[] = "/floppy";
const char* const kLeadingPackages[] = {"system", "ppp", "dhcp"};

bool is_candidate(const char* name) {
  size_t length = strlen(name);
  return length > 3 && strcmp(name + length - 4, ".kpk") == 0;
}

// Closes the directory on every way out of the discovery.
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool discover_packages(PackageList& list) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(root_path(kMedium).c_str()));
  if (!dir) {
    out_printf("FATAL ERROR: No packages found\n");
    return false;
  }
  while (struct dirent* entry = readdir(dir.get())) {
    if (!is_candidate(entry->d_name)) continue;
    list.push_back(std::make_unique<LocalPackage>());
    LocalPackage& package = *list.back();
    if (!read_package_file(package, std::string(kMedium) + "/" + entry->d_name)) {
      out_printf("FATAL ERROR: Bad package %s\n", package_label(package).c_str());
      return false;
    }
  }
  dir.reset();
  if (list.empty()) {
    out_printf("FATAL ERROR: No packages found\n");
    return false;
  }

  std::stable_sort(list.begin(), list.end(),
                   [](const auto& a, const auto& b) { return a->name < b->name; });
  for (size_t k = 0; k < std::size(kLeadingPackages); ++k) {
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const auto& p) { return p->name == kLeadingPackages[k]; });
    if (found == list.end()) continue;
    std::unique_ptr<LocalPackage> package = std::move(*found);
    list.erase(found);
    // A list shorter than k takes the package at its end.
    list.insert(list.begin() + long(std::min(k, list.size())), std::move(package));
  }
  return true;
}

void build_install_list(const PackageList& list, InstallList& install) {
  InstallList candidates;
  for (const auto& package : list)
    if (package->selected) candidates.push_back(package.get());
  install = order_packages_as(candidates, false, true);
}

bool choose_packages(PackageList& list) {
  PackageMenu menu;
  for (const auto& package : list) menu.packages.push_back(package.get());
  menu.cursor = 0;
  if (!run_package_menu(menu)) return false;
  for (size_t i = 0; i < list.size(); ++i)
    list[i]->selected = i < menu.selected.size() && menu.selected[i];
  return true;
}
