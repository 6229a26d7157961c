// A configuration store for the tests that carry one across a reinstallation: nested
// directories, files of many sizes (empty, 16000 bytes, one over, several blocks) with their
// own owners, modes (set-uid, set-gid) and times.
#pragma once

#include <string>
#include <vector>

enum class StoreForm {
  // As the old system has it, with what cannot be kept: links to a file (relative and
  // absolute within the old root), to a directory, dangling, to an ancestor, in a cycle, and
  // a FIFO.
  kOnOldDisk,
  // As it comes back: the links to a file and to a directory replaced by copies of what they
  // point to (with its owner, mode and times); nothing else of the above.
  kRestored,
};

// Builds the store at the host path dir. store_in_old_root is the store's path as the old
// system sees it (the target of the absolute link).
void build_test_store(const std::string& dir, StoreForm form,
                      const std::string& store_in_old_root = "/kest/store");

// The warnings of a snapshot of the kOnOldDisk store at installer path store, sorted.
std::vector<std::string> test_store_warnings(const std::string& store);
