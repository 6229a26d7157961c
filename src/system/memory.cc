#include "system/memory.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The first number of a one-line file, or false (a missing file, or "max").
bool read_number(const std::string& path, uint64_t* value) {
  std::ifstream in(path);
  return bool(in >> *value);
}

uint64_t kernel_estimate() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib;
  std::string unit;
  while (meminfo >> key >> kib) {
    std::getline(meminfo, unit);
    if (key == "MemAvailable:") return kib * 1024;
  }
  struct sysinfo info;
  if (sysinfo(&info) != 0) return 0;
  return (uint64_t(info.freeram) + info.bufferram) * info.mem_unit;
}

// What the process's memory cgroup still allows; UINT64_MAX when it sets no limit.
uint64_t cgroup_room() {
  std::ifstream groups("/proc/self/cgroup");
  uint64_t room = UINT64_MAX;
  for (std::string line; std::getline(groups, line);) {
    // "0::/path" (v2), or "N:memory:/path" (v1).
    size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    uint64_t limit, usage;
    if (controllers.empty()) {
      std::string dir = "/sys/fs/cgroup" + path;
      if (read_number(dir + "/memory.max", &limit) &&
          read_number(dir + "/memory.current", &usage))
        room = std::min(room, limit > usage ? limit - usage : 0);
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      std::string dir = "/sys/fs/cgroup/memory" + path;
      if (read_number(dir + "/memory.limit_in_bytes", &limit) &&
          read_number(dir + "/memory.usage_in_bytes", &usage))
        room = std::min(room, limit > usage ? limit - usage : 0);
    }
  }
  return room;
}

}  // namespace

uint64_t available_memory() { return std::min(kernel_estimate(), cgroup_room()); }
