// What the install server hands to a router: the packages (*.kpk) of its directory in
// installation order (a package after what it depends on, as the installer's own package
// manager orders them), then the configuration scripts (*.scr) in name order; and, as driver
// server, DIR/drivers/RELEASE.kpk for a kernel release.
#pragma once

#include <string>
#include <vector>

struct CatalogEntry {
  std::string name;  // as announced to the router
  std::string path;  // where the server reads it
};

// Lists dir. Files the installer could not take (a script name of 32 characters or more, a
// package name of 80 or more) are left out with a warning in warnings; so is an archive whose
// metadata cannot be read (it is served last, after the readable ones).
std::vector<CatalogEntry> build_catalog(const std::string& dir, std::vector<std::string>* warnings);

// The driver package for a kernel release, "" when the release is not a plain name or there
// is no such file.
std::string driver_path(const std::string& dir, const std::string& release);
