// The new system's skeleton on the freshly formatted target: the root file system mounted at
// /flash (and, on a two-partition disk, the boot partition at /flash/boot), the boot loader
// configuration, the file-system table, the .nofsck marker and the empty directories that the
// package database and the configuration store need.
#pragma once

#include "disk/target_disk.h"

class System;

// Mounts the disk's root file system at /flash (partition 2 when there is one, else 1; ext3
// tried before ext2) and, when with_boot is set and partition 2 was mounted, partition 1 as
// ext2 at /flash/boot. False when nothing could be mounted or the boot partition could not be
// (then /flash is unmounted again).
bool mount_target(System& system, const TargetDisk& disk, bool with_boot);

// Mounts with boot and writes /flash/etc/lilo.conf, /flash/etc/fstab, /flash/.nofsck (ext3
// root only) and /flash/rw, /flash/kest, /flash/kest/etc, /flash/var, /flash/var/pdb. False
// after "ERROR: could not mount filesystem", "ERROR: could not create lilo.conf" or
// "ERROR: could not create fstab"; a directory that cannot be made is only reported. The file
// systems stay mounted.
bool lay_out_system(System& system, const TargetDisk& disk);
