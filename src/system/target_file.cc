#include "system/target_file.h"

#include <fcntl.h>

#include <cerrno>

#include "system/target_tree.h"

int create_target_file(const std::string& entry, mode_t mode, mode_t dir_mode) {
  EntryPath path;
  if (!split_entry_name(entry, &path)) {
    errno = EINVAL;
    return -1;
  }
  DirFd dir = open_parent(Target::flash(), path, true, dir_mode);
  if (!dir.ok()) return -1;
  return openat(dir.get(), path.leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                mode);
}
