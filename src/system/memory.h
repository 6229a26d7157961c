// How much memory the installer can still take. Everything it holds at once (the hard-disk
// medium's archives, a kept configuration) is checked against this before it is read: the
// installer is the machine's first process, and the kernel's out-of-memory killer ending it
// ends the machine.
#pragma once

#include <cstdint>

// Bytes that can still be allocated: the kernel's estimate of available memory (MemAvailable,
// or free and buffer memory where the kernel gives no estimate), further limited by the memory
// cgroup the process runs in, when it has a limit. Read from the kernel's own /proc and /sys
// (not below the installer's root prefix).
uint64_t available_memory();
