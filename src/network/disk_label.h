// The disk label that the installer announces to the install server: the first line of
// /floppy/label.txt on the installation floppy, or "Quovalen".
#pragma once

#include <string>

class System;

// Mounts /dev/fd0 on /floppy (vfat), reads at most 63 characters of the first line of
// label.txt, unmounts again, and keeps only letters, digits and punctuation. "Quovalen" when
// the floppy cannot be mounted or nothing is left.
std::string read_disk_label(System& system);
