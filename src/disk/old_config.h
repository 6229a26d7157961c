// Keeping the old configuration across a reinstallation: the configuration store of the old
// system (/flash/kest/store, or /flash/rw/store on older installations) is copied into memory
// before the disk is repartitioned and written back, with owners, modes and times, once the
// new system is laid out.
//
// The snapshot is a chain of memory blocks (16000 bytes each, so no large allocation is
// needed) holding one record per entry in depth-first pre-order: the entry's path
// (NUL-terminated, never split across blocks), its 88-byte status and, for a regular file, its
// contents. Only regular files and directories are kept. Symbolic links are followed as the
// old system would follow them, with /flash as the root directory (the target tree's
// resolution, system/target_tree.h); one that cannot be followed (dangling, a loop) is left
// out with a warning naming it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "disk/target_disk.h"

class System;

struct SnapshotBlock;

class Snapshot {
 public:
  static constexpr uint32_t kMagic = 0x5A0937EB;
  static constexpr uint32_t kBlockSize = 16000;

  Snapshot() = default;
  ~Snapshot();  // frees every block
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Allocates the first block; false when memory is short.
  bool start();
  // Appends bytes that must stay in one block (a path); false when memory is short.
  bool append_whole(const void* data, size_t length);
  // Appends bytes that may be split across blocks; false when memory is short.
  bool append(const void* data, size_t length);
  // Reads from fd into the free space of the blocks until the end of the file, but never more
  // than expected + 1 bytes (a file that grows while it is read). Returns the number of bytes
  // read, or -1 on a read error or when memory is short.
  int64_t append_file(int fd, uint64_t expected);
  // Ends writing: every block's capacity becomes what it holds and its position 0.
  void complete();

  SnapshotBlock* first() const { return first_; }

 private:
  bool add_block(uint32_t capacity);

  SnapshotBlock* first_ = nullptr;
  SnapshotBlock* last_ = nullptr;
};

// Mounts the old root file system (without its boot partition), copies the store into a new
// snapshot and unmounts /flash/boot and /flash again. Null when there is nothing to keep (no
// store; nothing printed), after "WARNING: couldn't keep config - couldn't mount file system",
// or after "ERROR: couldn't keep config - probably not enough memory" (any read error,
// allocation failure, a file whose size changed while it was read, or a store whose size,
// added up before anything is read, leaves less than a reserve of available_memory()).
std::unique_ptr<Snapshot> snapshot_old_config(System& system, const TargetDisk& disk);

// Appends the records of path (an installer path below /flash) and, for a directory, of
// everything below it. False on a read error, a size mismatch or a failed allocation.
bool snapshot_tree(Snapshot& snapshot, const std::string& path);

// Recreates the snapshot's entries at their paths: files with their contents, owner, group,
// mode and times; directories with owner, group, mode and, once their contents are written,
// times. Frees the snapshot. False, after "ERROR: couldn't write old configuration -
// proboably not enough space on the disk", when an entry cannot be created or written; what
// was restored so far stays.
bool restore_old_config(std::unique_ptr<Snapshot> snapshot);
