// Installing one package from an archive onto the target mounted at /flash: its scripts,
// its files (through the inflating stream), the check that it is genuine, its database
// record and its install script; and the reverse step, release_files.
//
// Every failure is reported once on the package manager's error channel, naming the package
// by its display label; the caller only cleans up. Nothing is ever written outside the target
// root: entry names with ".." are refused and no symbolic link is followed while writing.
#pragma once

#include <cstdint>
#include <string>

#include "archive/package.h"

class PartReader;

// Installs p from r, which stands right after p's metadata parts. relative: paths are taken
// relative to the working directory instead of /flash (the single-package mode). False when
// the package was refused or failed; the target is then as release_files leaves it, with
// every file that was replaced put back.
bool install_package(Package& p, PartReader& r, bool relative);
// Extracts the FileData part r stands on. plain: no ownership checks (plain archives).
bool extract_files(Package& p, PartReader& r, bool plain, bool relative);
// Writes the current part's body (length bytes) as script name in p's record directory.
bool write_script(Package& p, PartReader& r, uint32_t length, const char* name, bool relative);
// Runs p's script name chrooted into /flash with bash, output discarded. True when there is
// no such script or it exited with status 0; otherwise warns.
bool run_script(const Package& p, const char* name);
// Removes p's recorded files and its record directory, puts moved-aside files back and
// resets the pending action.
void release_files(Package& p);
// Creates p's record directory and writes its record without installing anything.
bool register_package(Package& p);
// Shows "installing <label>" with the progress bar of r.
void show_installing(const Package& p, PartReader& r);
// Reports a failed create with errno: "disk is too small", "disk error" or
// "could not create <what>: <system text>".
void report_create_failure(const Package& p, const std::string& what, int error);
// Reports "installation of <label> failed: broken package".
void report_broken(const Package& p);
