#include "system/memory.h"

#include <sys/sysinfo.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "system/root.h"

namespace {

// The first word of a file as a number; false when the file cannot be read or does not
// begin with a number ("max" in a v2 limit file: no limit).
bool read_number(const std::string& path, uint64_t* value) {
  std::ifstream in(root_path(path));
  std::string word;
  if (!(in >> word) || word.empty() || word.size() > 20) return false;
  for (char c : word)
    if (c < '0' || c > '9') return false;
  *value = strtoull(word.c_str(), nullptr, 10);
  return true;
}

uint64_t meminfo_available() {
  std::ifstream in(root_path("/proc/meminfo"));
  std::string line;
  while (std::getline(in, line)) {
    uint64_t kib;
    if (sscanf(line.c_str(), "MemAvailable: %" SCNu64 " kB", &kib) == 1) return kib * 1024;
  }
  // Older kernels do not estimate it: what is free now, and the buffers it can drop.
  struct sysinfo info;
  if (sysinfo(&info) != 0) return 0;
  return (uint64_t(info.freeram) + uint64_t(info.bufferram)) * info.mem_unit;
}

struct Hierarchy {
  bool v2;
  std::string mount_point;  // where it is mounted
  std::string mount_root;   // the cgroup shown at the mount point
};

// Memory cgroup hierarchies mounted here: every cgroup2 mount, and v1 mounts of the memory
// controller.
std::vector<Hierarchy> memory_hierarchies() {
  std::vector<Hierarchy> found;
  std::ifstream in(root_path("/proc/self/mountinfo"));
  std::string line;
  while (std::getline(in, line)) {
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream head(line.substr(0, dash)), tail(line.substr(dash + 3));
    std::string id, parent, numbers, root, point, type, source, options;
    if (!(head >> id >> parent >> numbers >> root >> point) || !(tail >> type >> source >> options))
      continue;
    if (point.find('\\') != std::string::npos) continue;  // an escaped name: not ours to guess
    if (type == "cgroup2") {
      found.push_back({true, point, root});
    } else if (type == "cgroup") {
      std::istringstream words(options);
      for (std::string word; std::getline(words, word, ',');)
        if (word == "memory") found.push_back({false, point, root});
    }
  }
  return found;
}

// The cgroup of this process in a hierarchy: "0::/path" for v2, "N:...memory...:/path" for v1.
bool own_cgroup(bool v2, std::string* path) {
  std::ifstream in(root_path("/proc/self/cgroup"));
  std::string line;
  while (std::getline(in, line)) {
    size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    bool match = false;
    if (v2) {
      match = line.compare(0, first, "0") == 0 && controllers.empty();
    } else {
      std::istringstream words(controllers);
      for (std::string word; std::getline(words, word, ',');) match = match || word == "memory";
    }
    if (match) {
      *path = line.substr(second + 1);
      return true;
    }
  }
  return false;
}

// The least room left at any level from the cgroup path up to the mount's top; UINT64_MAX
// when no level sets a limit.
uint64_t cgroup_room(const Hierarchy& h, std::string path) {
  // A mount that shows a cgroup other than the root (a cgroup namespace, a bind mount) shows
  // only what lies below it.
  if (h.mount_root != "/") {
    if (path.compare(0, h.mount_root.size(), h.mount_root) != 0 ||
        (path.size() > h.mount_root.size() && path[h.mount_root.size()] != '/'))
      return UINT64_MAX;
    path.erase(0, h.mount_root.size());
  }
  if (path.find("/..") != std::string::npos) return UINT64_MAX;
  const char* limit_file = h.v2 ? "/memory.max" : "/memory.limit_in_bytes";
  const char* usage_file = h.v2 ? "/memory.current" : "/memory.usage_in_bytes";
  uint64_t room = UINT64_MAX;
  for (;;) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    std::string dir = h.mount_point + path;
    uint64_t limit, usage;
    if (read_number(dir + limit_file, &limit) && read_number(dir + usage_file, &usage)) {
      uint64_t left = usage >= limit ? 0 : limit - usage;
      if (left < room) room = left;
    }
    if (path.empty()) break;
    path.erase(path.rfind('/'));
  }
  return room;
}

}  // namespace

uint64_t available_memory() {
  uint64_t available = meminfo_available();
  for (const Hierarchy& h : memory_hierarchies()) {
    std::string path;
    if (!own_cgroup(h.v2, &path) || path.empty() || path[0] != '/') continue;
    uint64_t room = cgroup_room(h, path);
    if (room < available) available = room;
  }
  return available;
}
