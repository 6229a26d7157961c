// Finding the disk to install onto: the partitioning tool lists the geometry of every disk
// ("/sbin/sfdisk -g"), the first one listed becomes the target, announced by its port label.
#pragma once

#include <cstddef>
#include <string>

#include "disk/target_disk.h"

class System;

// The scan keeps up to this many disks, in the order the tool lists them.
constexpr size_t kMaxDrives = 4;
// A device path must fit a 32-byte field with its terminator; a listed path that is longer
// does not count as a disk (cutting it short could name another device).
constexpr size_t kMaxDevicePath = 31;

// Parses one listing line ("/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track") into
// disk: device (one trailing ':' removed), cylinders, cylinder size and both flags. False
// for a line that does not begin with "/dev/", lacks one of the four values, is longer than
// 127 characters or names a device longer than kMaxDevicePath.
bool parse_geometry_line(const std::string& line, TargetDisk& disk);

// Runs "/sbin/sfdisk -g" once and fills the process-wide table of kMaxDrives records (made on
// first use, reused by every scan). Returns the table, or null when no disk was listed or the
// tool could not be started. Records after the last disk listed have an empty device.
const TargetDisk* scan_drives(System& system);

// The label a user knows the disk by: "IDE Primary master (disk C)", "SATA 3", ... or the
// device path itself for any other device.
std::string port_label(const std::string& device);

// Looks for disks for up to about 20 seconds with progress dots, copies the first one listed
// into disk and announces it. Unmounts /flash/boot and /flash (errors ignored). False, after
// "FATAL ERROR: no harddrives found", when there is none.
bool detect_target_disk(System& system, TargetDisk& disk);
