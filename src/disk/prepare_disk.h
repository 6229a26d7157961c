// Turning the target disk into an empty system disk: optionally keep the old configuration,
// repartition with /sbin/sfdisk, format with /sbin/mke2fs, mount and lay out the new system,
// write the configuration back.
#pragma once

#include "disk/target_disk.h"

class System;

// Partitions, formats, mounts (/flash, and /flash/boot on a disk of more than 1023
// cylinders) and lays out the disk; the file systems stay mounted. With keep_old_config the
// old configuration store is carried across (its failures are reported but do not change the
// result). False after "ERROR: could not create partitions" (the tool could not be started,
// refused the script, or the table it left is not the new layout), "ERROR: could not format
// partitions", a message of the layout, or a refusal of disk_can_be_prepared (then nothing
// has been read or written). On a disk larger than a partition table can address it first
// prints "NOTE: only the first 2 TiB of the disk are used" and lays the disk out within them.
bool prepare_disk(System& system, TargetDisk& disk, bool keep_old_config);

// Everything prepare_disk can refuse before it writes anything, checked without writing:
// a device path the installer may not touch or that cannot be named in the new system's
// files ("ERROR: could not create partitions"), a disk the layout does not fit ("ERROR:
// could not create partitions - the disk is smaller than one cylinder", "... - a boot
// partition of B cylinders leaves no room on a disk of C cylinders"), a disk whose logical
// sectors are not 512 bytes ("ERROR: could not create partitions - the disk has sectors of N
// bytes, only 512-byte sectors are supported"). Prints that one message and returns false;
// true when prepare_disk would go on to partition the disk. Opens the device read-only (only
// to ask for its sector size; a device that cannot be opened is left to the partitioning
// tool). prepare_disk calls it first; a flow calls it before it changes the disk at all.
bool disk_can_be_prepared(const TargetDisk& disk);
