// What the install server hands to a router: the packages (*.kpk) of its directory in
// installation order (a package after what it depends on, as the installer's own package
// manager orders them), then the configuration scripts (*.scr) in name order; and, as driver
// server, DIR/drivers/RELEASE.kpk for a kernel release.
//
// DIR/hosts/AA:BB:CC:DD:EE:FF/ (a router's hardware address, upper-case hexadecimal, colons)
// holds files for that router alone: a file there takes the place of the file of the same
// name in DIR, and a package there takes the place of any package of DIR of the same package
// name. Other routers never see them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct CatalogEntry {
  std::string name;  // as announced to the router
  std::string path;  // where the server reads it
};

struct ArchiveChecks;

struct Catalog {
  std::vector<CatalogEntry> common;                          // every router's files
  std::map<std::string, std::vector<CatalogEntry>> hosts;    // "AA:BB:..." -> that router's
  size_t common_packages = 0;                                // readable archives among common
  std::map<std::string, size_t> host_packages;               // the same for each host
  // What the archives proved when they were last read: read_catalog reads again only the
  // archives that changed since.
  std::shared_ptr<ArchiveChecks> checks;

  // The files of the router with this address text ("AA:BB:CC:DD:EE:FF").
  const std::vector<CatalogEntry>& files_for(const std::string& router) const;
  // The readable archives among them: a router is never started on a list without any.
  size_t packages_for(const std::string& router) const;
};

// Reads dir and its hosts/ directories. Every archive is read through as the installer's
// installation child reads it: one that cannot be read, or holds a package that is not
// genuine for the installer built from this tree, is named in warnings (and still served:
// an unreadable one last, after the readable ones, where the installer refuses it); so are
// two archives of one package (the newer is served) and files the installer could not take
// (a script name of 32 characters or more, a package name of 80 or more, control characters),
// which are left out. False, with why set and out untouched, when dir cannot be listed.
bool read_catalog(const std::string& dir, Catalog& out, std::vector<std::string>* warnings,
                  std::string* why = nullptr);

// The common files of dir alone (as read_catalog, an empty list when dir cannot be listed).
std::vector<CatalogEntry> build_catalog(const std::string& dir, std::vector<std::string>* warnings);

// A short text that changes whenever a file is added to, removed from or renamed in dir,
// dir/drivers, dir/hosts or a host directory, or a served file changes size or time: the
// modification times of those directories and the size and time of each *.kpk and *.scr in
// them. Costs one stat per entry.
std::string catalog_stamp(const std::string& dir);

// Whether a server may start on dir: false, with why set, when dir is not a directory that
// can be listed, or holds no package archive (*.kpk) at its top that the installer could take.
// A router never gets a start from a server that has nothing to install.
bool catalog_can_serve(const std::string& dir, std::string* why);

// The driver package for a kernel release, "" when the release is not a plain name or there
// is no such file.
std::string driver_path(const std::string& dir, const std::string& release);
