// The hard-disk installation: the installation files lie in a FAT file system that covers a
// whole disk. Every chosen archive and the configuration script are read into memory and
// checked, then that same disk is rewritten as the system disk and the archives are streamed
// from memory into installation children.
#pragma once

#include <cstddef>

class System;
struct TargetDisk;

// At most this many archives are held in memory; a longer install list is refused before
// anything is read or written.
constexpr size_t kMaxArchives = 50;

// Runs the flow; disk receives the source disk's drive record (the source disk is the
// target). True after "Software installed." and a 2-second pause; false after the failure's
// message or "Installation canceled". Without the file CHOOSE on the medium every package is
// installed and no question is asked. An archive that cannot be read whole, or that is
// damaged or not genuine, is refused before the disk is written; after that nothing is
// undone.
bool install_from_hard_disk(System& system, TargetDisk& disk);
