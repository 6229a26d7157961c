#include "archive/package.h"

#include "archive/version_text.h"

std::string display_label(const Package& package) {
  if (!package.bundle.name.empty()) return requirement_label(package.bundle);
  return package_label(package);
}

bool same_name(const std::string& a, const std::string& b) { return a == b; }

bool satisfies(const PackageInfo& p, const PackageRef& r) {
  if (!same_name(p.name, r.name)) return false;
  if (p.version < r.min_version) return false;
  return r.max_version == 0 || p.version <= r.max_version;
}

bool ranges_overlap(const PackageRef& v, const PackageRef& r) {
  if (!same_name(v.name, r.name)) return false;
  if (v.min_version != 0 && r.max_version != 0 && v.min_version > r.max_version) return false;
  if (v.max_version != 0 && r.min_version != 0) return v.max_version >= r.min_version;
  return true;
}

bool provides_for(const PackageInfo& p, const PackageRef& r) {
  for (const PackageRef& v : p.provides)
    if (ranges_overlap(v, r)) return true;
  return false;
}

bool depends_on(const PackageInfo& a, const PackageInfo& b) {
  for (const PackageRef& d : a.depends)
    if (satisfies(b, d) || provides_for(b, d)) return true;
  for (const auto& m : b.members)
    if (depends_on(a, *m)) return true;
  for (const auto& m : a.members)
    if (depends_on(*m, b)) return true;
  return false;
}

bool excludes(const PackageInfo& a, const PackageInfo& b) {
  for (const PackageRef& k : a.conflicts)
    if (satisfies(b, k)) return true;
  for (const PackageRef& v : b.provides)
    if (same_name(v.name, a.name)) return v.priority < 0;
  for (const PackageRef& u : a.provides) {
    if (same_name(u.name, b.name)) return u.priority >= 0;
    for (const PackageRef& v : b.provides)
      if (same_name(u.name, v.name)) return u.priority > v.priority;
  }
  for (const PackageRef& k : a.conflicts)
    if (provides_for(b, k)) return true;
  for (const auto& m : b.members)
    if (same_name(m->name, a.name)) return true;
  for (const auto& m : a.members)
    if (excludes(*m, b)) return true;
  return false;
}

bool has_name(const PackageInfo& p, const std::string& n) {
  if (same_name(p.name, n)) return true;
  for (const auto& m : p.members)
    if (same_name(m->name, n)) return true;
  return false;
}
