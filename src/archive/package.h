// The package record family and the relation predicates the package manager is built from.
//
// PackageRef is one relation entry (dependency, provision, conflict, bundle member or bundle).
// PackageInfo holds what an archive's header and metadata parts say; Package adds what the
// installer tracks for an installed package; PackageFile adds what it knows of an archive
// found as a file.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <istream>
#include <string>
#include <vector>

class PartReader;

struct PackageRef {
  std::string name;
  uint32_t min_version = 0;  // 0: no lower bound
  uint32_t max_version = 0;  // 0: no upper bound
  int32_t priority = 0;      // decides between providers of the same name
};

struct PackageInfo {
  PackageInfo() = default;
  PackageInfo(PackageInfo&&) = default;
  PackageInfo& operator=(PackageInfo&&) = default;
  virtual ~PackageInfo() = default;

  std::string name;
  uint32_t version = 0;
  uint32_t build = 0;  // build time, seconds since 1970-01-01 UTC
  std::string architecture;
  std::string description;
  bool has_image = false;
  std::vector<PackageRef> depends;
  std::vector<PackageRef> provides;
  std::vector<PackageRef> conflicts;
  bool is_bundle = false;
  std::vector<std::unique_ptr<PackageInfo>> members;  // a bundle's packages, archive order
};

enum class PendingAction : uint32_t { None = 0, Uninstall = 1, Enable = 2, Disable = 3 };

struct Package : PackageInfo {
  std::set<std::string> files;  // RecordedPath texts ("/..." or "./..."), byte order
  PackageRef bundle;            // the bundle this package was installed from; empty name: none
  bool disabled = false;
  bool user_forced = false;  // the enabled/disabled state was the user's choice
  PendingAction pending = PendingAction::None;
  // Only in memory, for a bundle's stand-in for a name of its contents list (a nameless
  // package that conflicts with the name): the bundle whose own members it keeps disabled.
  std::string stand_in_of;
};

struct PackageFile : PackageInfo {
  std::string path;
  uint32_t total_length = 0;
  bool plain = false;
};

// Fills a record from a reader standing on a PackageHeader or BundleHeader part. Returns
// false on a short read of the header record or a reference list; fields read before the
// failure stay set. On success the reader stands on the first wanted part after the metadata
// (or on the Image part). Reports nothing.
bool read_package_info(PackageInfo& info, PartReader& reader);
// Reads the current part's body as a reference list and appends its entries to list.
// False on a short read of the count or of a record.
bool read_ref_list(PartReader& reader, std::vector<PackageRef>& list);
// Opens an archive file (path through the root prefix), checks its size against the header
// and reads its metadata, with a bundle's members. False for a size mismatch, an unreadable
// archive, a failed metadata read or a bundle without members.
bool read_package_file(PackageFile& file, const std::string& path);
// The same from an open stream of size bytes (path is left as it is): false when the size
// differs from the declared length or the metadata cannot be read.
bool read_package_stream(PackageFile& file, std::istream& in, uint64_t size);

// For a bundle member the requirement label of its bundle, otherwise the package label.
std::string display_label(const Package& package);

bool same_name(const std::string& a, const std::string& b);
// p is the package r names, in r's version range.
bool satisfies(const PackageInfo& p, const PackageRef& r);
// A provision's range and a requirement's range of the same name intersect.
bool ranges_overlap(const PackageRef& provided, const PackageRef& required);
bool provides_for(const PackageInfo& p, const PackageRef& r);
// a needs b (directly, or through bundle members on either side).
bool depends_on(const PackageInfo& a, const PackageInfo& b);
// b must not be active while a is.
bool excludes(const PackageInfo& a, const PackageInfo& b);
// p is named n, or one of its members is.
bool has_name(const PackageInfo& p, const std::string& n);
