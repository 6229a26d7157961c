// Local package discovery: the package archives in the top directory of the medium mounted on
// /floppy, turned into the menu's package list and, after the selection, into the install
// list.
#pragma once

#include <memory>
#include <vector>

#include "flows/local_package.h"

// The packages found on the medium, in menu order. The flow owns it for its run.
using PackageList = std::vector<std::unique_ptr<LocalPackage>>;
// The packages to install, in installation order: pointers into a PackageList.
using InstallList = std::vector<LocalPackage*>;

// Fills the empty list from "/floppy": every entry whose name is longer than 3 characters and
// ends in ".kpk" (any type of entry, no recursion) is read with read_package_file. The list is
// sorted by name (byte order) and "system", "ppp" and "dhcp" are moved to positions 0, 1 and
// 2. True when at least one package was found and every candidate could be read; otherwise
// false after "FATAL ERROR: No packages found" or "FATAL ERROR: Bad package LABEL" (the first
// unreadable archive ends the discovery; the list may then hold what was read so far).
bool discover_packages(PackageList& list);

// Replaces the install list with the selected packages of list, ordered by the package
// manager: of several versions of a package only the newest stays (the others are named in a
// warning), and every package comes after what it depends on.
void build_install_list(const PackageList& list, InstallList& install);

// Shows the package menu over the list, in its order, and sets each package's selected flag
// to the user's choice. False when the user cancelled (the flags are then unchanged).
bool choose_packages(PackageList& list);
