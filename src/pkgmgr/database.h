// The installed-package database: one directory of small text files per package under
// /flash/var/pdb/<name>/, and the volatile schedule requests under /ram/pdb/<name>/schedule.
// Paths are installer paths; they go through the root prefix when the files are touched.
#pragma once

#include <set>
#include <string>

#include "archive/package.h"

class MessageChannel;
class PackageManager;

// The database directory, which belongs to the package manager alone: no package entry may
// lead into it, and the names of the manager's own files there begin with kManagerPrefix.
inline constexpr char kRepository[] = "/flash/var/pdb/";
inline constexpr char kManagerPrefix[] = ".kpk-";

// A package name that can name a record directory: not empty, not beginning with "." (the
// loader passes over such entries, and the manager's own files begin with one), without "/",
// blanks or control characters (record files are read word by word).
bool valid_package_name(const std::string& name);
// A name of a relation list (dependency, provision, conflict, bundle contents): one word of a
// record file, not empty, without blanks or control characters.
bool valid_relation_name(const std::string& name);
// The package's own name and every name in its relation lists are valid.
bool valid_record_names(const PackageInfo& package);

// "/flash/var/pdb/<name>/". (A relative install, which runs with "/" as its working
// directory, writes its record to the same place.)
std::string record_dir(const Package& package);
// Creates path and its missing parents with mode 0770 (before the umask); an existing
// directory is fine. False when a directory cannot be created; errno tells why.
bool make_dirs(const std::string& path);
// Fills package from its record directory and consumes its schedule file. A record whose
// version or relation lists cannot be read is loaded anyway and scheduled for uninstall.
// Only regular files are read, and no more than 4 MiB of each: a longer relation or files
// list also schedules the package for uninstall. Returns 0, or the errno of a record file
// that is there but could not be opened or read (the record is then not to be trusted).
int load_record(Package& package, const std::string& name);
// Reads only the files list of the record of name into files (recorded paths); false when
// the list is longer than the loader reads (only part of it was read). *error (when given and
// still 0) receives the errno of a list that is there but could not be read.
bool read_files_record(const std::string& name, std::set<std::string>* files,
                       int* error = nullptr);
// Writes every record file; reports a failure on the manager's error channel ("installation
// of <label> failed: ..." naming meta/<file>) and returns false, leaving the files written so
// far. Record files that no longer apply are deleted; a symbolic link in the place of a
// record file, or of the record directory, is not written through. The record directory
// must exist.
bool write_record(const Package& package, MessageChannel& messages);
// Deletes every entry of the record directory whose name does not begin with "."
// and then the directory. Nothing happens when it cannot be opened; a symbolic link in its
// place is removed itself, and nothing it points to is touched.
void remove_record(const Package& package);
// The record directory opened for use with openat(), a symbolic link in its place not
// followed; -1 with errno (ENOTDIR for a link) when it cannot be opened. The caller closes it.
int open_record_dir(const Package& package);
// State changes decided by the package manager; they rewrite the disabled/enabled files. The
// state in memory changes in any case; false (errno set) when a file could not be written.
bool mark_disabled(Package& package);
bool mark_enabled(Package& package);
// Loads every record under /flash/var/pdb/ into the manager's installed list, in directory
// order, and sets the manager's quiet flag for all later messages. What an installation that
// died midway left is undone or finished first (pkgmgr/recovery.h). A record that cannot be
// read is reported, and the manager then installs nothing (database_unreadable()).
void open_repository(PackageManager& manager, bool quiet);
