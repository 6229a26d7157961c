#include "flows/archive_buffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>

#include "system/root.h"

void ArchiveBuffer::clear() {
  data.reset();
  size = 0;
  position = 0;
}

bool read_whole_file(ArchiveBuffer& buffer, const std::string& path) {
  buffer.clear();
  int fd = open(root_path(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && status.st_size >= 0 &&
            uint64_t(status.st_size) <= std::numeric_limits<uint32_t>::max();
  uint32_t size = ok ? uint32_t(status.st_size) : 0;
  std::unique_ptr<char[]> data;
  if (ok && size > 0) {
    data.reset(new (std::nothrow) char[size]);
    ok = data != nullptr;
  }
  for (uint32_t done = 0; ok && done < size;) {
    ssize_t n = read(fd, data.get() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    // A file that ends early would be streamed as if whole: that is a failed read too.
    if (n <= 0) ok = false;
    else done += uint32_t(n);
  }
  close(fd);
  if (!ok) return false;
  buffer.size = size;
  buffer.data = std::move(data);
  return true;
}
