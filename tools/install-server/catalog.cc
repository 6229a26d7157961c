#include "catalog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <istream>
#include <memory>
#include <set>

#include "archive/package.h"
#include "archive/package_walk.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/ordering.h"
#include "system/fd_stream.h"

namespace {

bool ends_with(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool regular_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_script(const std::string& name) { return name.size() > 4 && ends_with(name, ".scr"); }
bool served_name(const std::string& name) {
  return name[0] != '.' && (ends_with(name, ".kpk") || ends_with(name, ".scr"));
}

// The names of dir's entries, sorted; false when dir cannot be listed.
bool list_dir(const std::string& dir, std::vector<std::string>& names, std::string* why) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    if (why) *why = "cannot read " + dir + ": " + strerror(errno);
    return false;
  }
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

// "AA:BB:CC:DD:EE:FF", upper case.
bool is_address_text(const std::string& name) {
  if (name.size() != 17) return false;
  for (size_t i = 0; i < 17; ++i) {
    char c = name[i];
    if (i % 3 == 2 ? c != ':' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// An archive read through as the installation child reads it.
struct Checked {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime = {};
  std::shared_ptr<PackageFile> info;  // null when the metadata cannot be read
  bool genuine = false;
};

bool same_file(const Checked& c, const struct stat& st) {
  return c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
         c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

Checked check_archive(const std::string& path) {
  Checked c;
  // Not blocking on a FIFO that someone put there.
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return c;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    c.dev = st.st_dev;
    c.ino = st.st_ino;
    c.size = st.st_size;
    c.mtime = st.st_mtim;
    auto info = std::make_shared<PackageFile>();
    info->path = path;
    {
      auto buf = std::make_unique<FdInBuf>(fd, false);
      std::istream in(buf.get());
      if (read_package_stream(*info, in, uint64_t(st.st_size))) c.info = info;
    }
    if (c.info && lseek(fd, 0, SEEK_SET) == 0) {
      auto buf = std::make_unique<FdInBuf>(fd, false);
      std::istream in(buf.get());
      c.genuine = archive_is_genuine(in, uint64_t(st.st_size));
    }
  }
  close(fd);
  return c;
}

// Warnings without repeats (the same file is met for every host directory).
struct Warnings {
  std::vector<std::string>* out;
  std::set<std::string> seen;
  void add(const std::string& line) {
    if (out && seen.insert(line).second) out->push_back(line);
  }
};

struct Candidate {
  std::string name, path, where;  // where: "" for dir, "hosts/X/" for a host directory
};

// The served files among names of directory path, as candidates; bad names are warned about.
void collect(const std::string& path, const std::string& where, const std::vector<std::string>& names,
             std::vector<Candidate>& out, Warnings& warnings) {
  for (const std::string& name : names) {
    if (!served_name(name) || !regular_file(path + "/" + name)) continue;
    bool printable = std::all_of(name.begin(), name.end(), [](char c) { return c >= 32 && c < 127; });
    if (!printable) {
      // The name travels as one line of the FILE announcement.
      warnings.add(where + "name with control characters, left out");
      continue;
    }
    if (name.size() >= (is_script(name) ? 32u : 80u)) {
      warnings.add("name too long for the installer, left out: " + where + name);
      continue;
    }
    out.push_back({name, path + "/" + name, where});
  }
}

class Assembler {
 public:
  Assembler(std::map<std::string, Checked>& checked, Warnings& warnings)
      : checked_(checked), warnings_(warnings) {}

  const Checked& check(const Candidate& c) {
    struct stat st;
    auto it = checked_.find(c.path);
    if (it != checked_.end() && stat(c.path.c_str(), &st) == 0 && same_file(it->second, st))
      return it->second;
    Checked fresh = check_archive(c.path);
    return checked_[c.path] = fresh;
  }

  // Orders the candidates (a host's replace dir's by file name and by package name).
  std::vector<CatalogEntry> assemble(const std::vector<Candidate>& base,
                                     const std::vector<Candidate>& host, size_t* packages) {
    std::map<std::string, Candidate> by_name;
    for (const Candidate& c : base) by_name[c.name] = c;
    for (const Candidate& c : host) by_name[c.name] = c;
    std::set<std::string> host_packages;
    for (const Candidate& c : host)
      if (!is_script(c.name)) {
        const Checked& k = check(c);
        if (k.info) host_packages.insert(k.info->name);
      }

    std::map<std::string, std::vector<std::pair<PackageFile*, const Candidate*>>> by_package;
    std::vector<CatalogEntry> unreadable, scripts;
    for (const auto& [name, c] : by_name) {
      if (is_script(name)) {
        scripts.push_back({name, c.path});
        continue;
      }
      const Checked& k = check(c);
      if (!k.info) {
        warnings_.add("cannot read the package, served last: " + c.where + name);
        unreadable.push_back({name, c.path});
        continue;
      }
      if (!k.genuine)
        warnings_.add("not genuine for this installer (it will refuse it): " + c.where + name);
      if (c.where.empty() && host_packages.count(k.info->name)) continue;
      by_package[k.info->name].push_back({k.info.get(), &c});
    }

    std::vector<PackageFile*> list;
    for (auto& [package, files] : by_package) {
      // The newest archive of a package is served; the others are named.
      auto newest = std::max_element(files.begin(), files.end(), [](auto& a, auto& b) {
        return a.first->version != b.first->version ? a.first->version < b.first->version
                                                    : a.first->build < b.first->build;
      });
      if (files.size() > 1) {
        std::string names;
        for (auto& f : files)
          if (&f != &*newest) names += (names.empty() ? "" : ", ") + f.second->where + f.second->name;
        warnings_.add("two archives of package " + package + ": " + newest->second->where +
                      newest->second->name + " is served, not " + names);
      }
      list.push_back(newest->first);
    }
    std::map<const PackageFile*, std::string> served_as;
    for (auto& [package, files] : by_package)
      for (auto& f : files) served_as[f.first] = f.second->name;
    std::vector<CatalogEntry> catalog;
    for (PackageFile* p : order_packages_as(list, false, false))
      catalog.push_back({served_as[p], p->path});
    if (catalog.size() < list.size()) {
      std::set<std::string> kept;
      for (const CatalogEntry& e : catalog) kept.insert(e.path);
      for (PackageFile* p : list)
        if (!kept.count(p->path))
          warnings_.add("left out by the installation order: " + served_as[p]);
    }
    if (packages) *packages = catalog.size();
    catalog.insert(catalog.end(), unreadable.begin(), unreadable.end());
    catalog.insert(catalog.end(), scripts.begin(), scripts.end());
    return catalog;
  }

 private:
  std::map<std::string, Checked>& checked_;
  Warnings& warnings_;
};

}  // namespace

struct ArchiveChecks {
  std::map<std::string, Checked> by_path;
};

const std::vector<CatalogEntry>& Catalog::files_for(const std::string& router) const {
  auto it = hosts.find(router);
  return it == hosts.end() ? common : it->second;
}

size_t Catalog::packages_for(const std::string& router) const {
  auto it = host_packages.find(router);
  return it == host_packages.end() ? common_packages : it->second;
}

bool read_catalog(const std::string& dir, Catalog& out, std::vector<std::string>* warnings,
                  std::string* why) {
  std::vector<std::string> names;
  if (!list_dir(dir, names, why)) return false;
  Warnings w{warnings, {}};
  // Unchanged archives are not read again: a refresh reads only what changed.
  std::map<std::string, Checked> checked;
  if (out.checks) checked = out.checks->by_path;
  Assembler assembler(checked, w);

  std::vector<Candidate> base;
  collect(dir, "", names, base, w);
  Catalog catalog;
  catalog.common = assembler.assemble(base, {}, &catalog.common_packages);

  std::vector<std::string> hosts;
  std::string hosts_dir = dir + "/hosts";
  struct stat st;
  if (stat(hosts_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string problem;
    if (!list_dir(hosts_dir, hosts, &problem)) w.add(problem + "; no router gets files of its own");
  }
  for (const std::string& host : hosts) {
    std::string path = hosts_dir + "/" + host;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (!is_address_text(host)) {
      w.add("hosts/" + host + " is not named by a hardware address as AA:BB:CC:DD:EE:FF, ignored");
      continue;
    }
    std::vector<std::string> host_names;
    std::string problem;
    if (!list_dir(path, host_names, &problem)) {
      // Serving this router the common files would install it with another's configuration.
      w.add(problem + "; router " + host + " is not served");
      catalog.hosts[host] = {};
      catalog.host_packages[host] = 0;
      continue;
    }
    std::vector<Candidate> own;
    collect(path, "hosts/" + host + "/", host_names, own, w);
    catalog.hosts[host] = assembler.assemble(base, own, &catalog.host_packages[host]);
  }
  // Only what is still there is remembered.
  std::set<std::string> kept;
  for (const auto& e : catalog.common) kept.insert(e.path);
  for (const auto& [h, files] : catalog.hosts)
    for (const auto& e : files) kept.insert(e.path);
  catalog.checks = std::make_shared<ArchiveChecks>();
  for (auto& [path, c] : checked)
    if (kept.count(path)) catalog.checks->by_path[path] = c;
  out = std::move(catalog);
  return true;
}

std::vector<CatalogEntry> build_catalog(const std::string& dir, std::vector<std::string>* warnings) {
  Catalog catalog;
  read_catalog(dir, catalog, warnings);
  return catalog.common;
}

std::string catalog_stamp(const std::string& dir) {
  std::string stamp;
  auto add_dir = [&stamp](const std::string& path, bool files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      stamp += path + " -\n";
      return;
    }
    stamp += path + " " + std::to_string(st.st_mtim.tv_sec) + "." +
             std::to_string(st.st_mtim.tv_nsec) + "\n";
    if (!files) return;
    std::vector<std::string> names;
    list_dir(path, names, nullptr);
    for (const std::string& name : names) {
      if (!served_name(name) || stat((path + "/" + name).c_str(), &st) != 0) continue;
      stamp += name + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_ino) + " " +
               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + "\n";
    }
  };
  add_dir(dir, true);
  add_dir(dir + "/hosts", false);
  std::vector<std::string> hosts;
  list_dir(dir + "/hosts", hosts, nullptr);
  for (const std::string& host : hosts) add_dir(dir + "/hosts/" + host, true);
  return stamp;
}

bool catalog_can_serve(const std::string& dir, std::string* why) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (why) *why = dir + " is not a directory";
    return false;
  }
  Catalog catalog;
  if (!read_catalog(dir, catalog, nullptr, why)) return false;
  if (catalog.common_packages == 0) {
    if (why) *why = dir + " holds no package archive (*.kpk) that can be read";
    return false;
  }
  return true;
}

std::string driver_path(const std::string& dir, const std::string& release) {
  if (release.empty() || release == "." || release == ".." || release.size() > 64) return "";
  for (char c : release)
    if (c == '/' || c < 33 || c > 126) return "";
  std::string path = dir + "/drivers/" + release + ".kpk";
  return regular_file(path) ? path : "";
}
