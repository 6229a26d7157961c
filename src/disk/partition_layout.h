// The partition layout of the target disk and the partitioning tool's script for it.
//
// A disk of up to 1023 cylinders gets one bootable partition over the whole disk (over its
// first 2 TiB, see layout_cylinders). A larger
// one gets a bootable boot partition of B cylinders (the fewest that hold 10 MiB) and the
// root partition behind it. All partitions are of type 83 (Linux).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/target_disk.h"

// B: (cylinder_size + 10485759) / cylinder_size, in unsigned 32-bit arithmetic.
uint32_t boot_cylinders(const TargetDisk& disk);

// The cylinders the layout covers: all of the disk's, or on a disk larger than a partition
// table can address (2^32 sectors of 512 bytes, 2 TiB) as many whole cylinders as lie within
// that limit. The rest of such a disk stays unused.
uint32_t layout_cylinders(const TargetDisk& disk);

// Whether the layout fits the disk: at least one cylinder, and in the two-partition layout
// room behind the boot partition. Otherwise prints why ("ERROR: could not create partitions
// - ...") and returns false.
bool layout_fits(const TargetDisk& disk);

// The lines "start,size,type,bootable" in cylinders for the tool's input, followed by one
// "0,0,0" line for every old entry beyond the ones written (old_entries is the number of
// entries the tool listed before).
std::string partition_script(const TargetDisk& disk, unsigned old_entries);

// Whether the tool's dump of the partition table ("PARTITION : start= S, size= N, Id=83,
// bootable" lines, in sectors, PARTITION named as partition_path() names it) shows exactly the layout: partition 1 (and 2) as written, and
// every other listed entry empty.
bool table_holds_layout(const TargetDisk& disk, const std::vector<std::string>& dump_lines);
