#include "catalog.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/package.h"
#include "pkgmgr/ordering.h"

namespace {

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool regular_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<CatalogEntry> build_catalog(const std::string& dir, std::vector<std::string>* warnings) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name[0] == '.' || !regular_file(dir + "/" + name)) continue;
      if (ends_with(name, ".kpk") || ends_with(name, ".scr")) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());

  std::vector<std::unique_ptr<PackageFile>> packages;
  std::vector<CatalogEntry> unreadable, scripts;
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    bool script = name.size() > 4 && ends_with(name, ".scr");
    bool printable = std::all_of(name.begin(), name.end(),
                                 [](char c) { return c >= 32 && c < 127; });
    if (!printable) {
      // The name travels as one line of the FILE announcement.
      if (warnings) warnings->push_back("name with control characters, left out");
      continue;
    }
    if (name.size() >= (script ? 32u : 80u)) {
      if (warnings) warnings->push_back("name too long for the installer, left out: " + name);
      continue;
    }
    if (script) {
      scripts.push_back({name, path});
      continue;
    }
    auto p = std::make_unique<PackageFile>();
    if (read_package_file(*p, path)) {
      packages.push_back(std::move(p));
    } else {
      if (warnings) warnings->push_back("cannot read the package, served last: " + name);
      unreadable.push_back({name, path});
    }
  }
  std::vector<PackageFile*> list;
  for (auto& p : packages) list.push_back(p.get());
  std::vector<CatalogEntry> catalog;
  for (PackageFile* p : order_packages_as(list, false, false)) {
    std::string name = p->path.substr(p->path.rfind('/') + 1);
    catalog.push_back({name, p->path});
  }
  if (warnings && catalog.size() < packages.size())
    warnings->push_back("older duplicates of packages are left out");
  catalog.insert(catalog.end(), unreadable.begin(), unreadable.end());
  catalog.insert(catalog.end(), scripts.begin(), scripts.end());
  return catalog;
}

std::string driver_path(const std::string& dir, const std::string& release) {
  if (release.empty() || release == "." || release == ".." || release.size() > 64) return "";
  for (char c : release)
    if (c == '/' || c < 33 || c > 126) return "";
  std::string path = dir + "/drivers/" + release + ".kpk";
  return regular_file(path) ? path : "";
}
