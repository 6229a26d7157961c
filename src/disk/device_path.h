// Device paths of the target disk as the installer uses them: installer paths under /dev,
// opened only through the root prefix (system/root.h).
#pragma once

#include <string>

// True for "/dev/NAME..." without empty, "." or ".." components, so that the path, once
// prefixed with the root, cannot lead outside the root's /dev.
bool valid_device_path(const std::string& device);

// The path of partition number of a disk: the device followed by the number, with a "p"
// between them when the device's name ends in a digit, as the kernel names them ("/dev/sda1",
// "/dev/mmcblk0p1", "/dev/nvme0n1p2").
std::string partition_path(const std::string& device, unsigned number);
