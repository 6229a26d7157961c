// How much memory the installer can still take for itself. The installer runs as init: a
// process that the kernel's out-of-memory killer ends takes the whole machine down, so a step
// that holds data of unknown size in memory asks here first.
#pragma once

#include <cstdint>

// Bytes this process can still allocate: MemAvailable of /proc/meminfo (where the kernel
// gives none, free plus buffer memory from sysinfo()), lowered to the room left in every
// memory cgroup from this process's own up to the root of its hierarchy (cgroup v2:
// memory.max - memory.current; v1: memory.limit_in_bytes - memory.usage_in_bytes; 0 where
// the usage has reached the limit). Cgroup hierarchies are found in /proc/self/mountinfo;
// a level whose files cannot be read sets no limit. All files are read through the root
// prefix. Never fails: 0 when not even sysinfo() answers. A snapshot of a moment: other
// processes may take memory afterwards, so callers keep a margin.
uint64_t available_memory();
