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
// partitions", a message of the layout, or a message on a disk too small for the layout
// (then nothing has been written).
bool prepare_disk(System& system, TargetDisk& disk, bool keep_old_config);

// Whatever prepare_disk can refuse without writing anything (a device path the installer may
// not touch, a disk the layout does not fit), checked alone: false after the message
// prepare_disk would print. The flows ask it before they write the disk's first sector.
bool disk_can_be_prepared(const TargetDisk& disk);
