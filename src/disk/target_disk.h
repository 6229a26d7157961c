// The disk the installer installs onto. One record per run: created by the entry routine,
// filled by drive detection, passed by reference to every flow and disk step.
#pragma once

#include <cstdint>
#include <string>

struct TargetDisk {
  std::string device;         // as the partitioning tool lists it, e.g. "/dev/hda"
  uint32_t cylinders = 0;
  uint32_t cylinder_size = 0;  // bytes: heads * sectors per track * 512
  bool over_1023_cylinders = false;  // needs a separate boot partition
  bool over_40_mib = false;          // cylinders * cylinder_size > 40 MiB: root gets a journal
};
