#include "network/config_script.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system/target_tree.h"
#include "network/file_transfer.h"
#include "system/fd_stream.h"
#include "system/output.h"
#include "system/root.h"

namespace {

// Opens the script's file for writing (created or truncated), never through a link; -1 when
// the name is refused or the file cannot be made.
int create_script_file(const FileTransfer& transfer) {
  if (transfer.size == 0)
    return open(root_path("/empty").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                0666);
  EntryPath path;
  if (transfer.name.size() > kMaxScriptName || !split_entry_name(transfer.name, &path)) {
    errno = EINVAL;
    return -1;
  }
  DirFd parent = open_parent(Target::flash(), path, false, 0755);
  if (!parent.ok()) return -1;
  return openat(parent.get(), path.leaf.c_str(),
                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}

}  // namespace

bool is_configuration_script(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".scr") == 0;
}

bool write_configuration_script(FileTransfer& transfer) {
  out_printf("Writing configuration...\n");
  int fd = create_script_file(transfer);
  if (fd < 0) {
    out_printf("\nFATAL ERROR: couldn't make a file\n");
    return false;
  }
  char buffer[4096];
  for (;;) {
    int n = read_file_data(transfer, buffer, sizeof buffer);
    if (n < 0) {
      close(fd);
      out_printf("\nFATAL ERROR: bad network connection\n");
      return false;
    }
    if (n == 0) break;
    if (int error = write_all(fd, buffer, size_t(n))) {
      out_printf("\nFATAL ERROR: installation failed: %s\n", strerror(error));
      close(fd);
      return false;
    }
  }
  if (close(fd) != 0) {
    out_printf("\nFATAL ERROR: installation failed: %s\n", strerror(errno));
    return false;
  }
  return true;
}
