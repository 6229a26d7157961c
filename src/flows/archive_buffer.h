// A whole file held in memory: the hard-disk flow copies its archives and its configuration
// script into these before it rewrites the disk they lie on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct ArchiveBuffer {
  uint32_t size = 0;              // bytes of the file, from its file status
  uint32_t position = 0;          // bytes already streamed to an installation child
  std::unique_ptr<char[]> data;   // the whole file; none for an empty file

  // Releases the block and empties the buffer.
  void clear();
};

// Reads the file at path (an installer path) into the empty buffer: its size from the file
// status, a block of that size (none for an empty file), filled by reads that are repeated
// when a signal interrupts them. False when the file cannot be opened or its status read, the
// block cannot be had (or the file is 4 GiB or more), a read fails, or the file ends before
// the size its status gave; the buffer is then empty.
bool read_whole_file(ArchiveBuffer& buffer, const std::string& path);
