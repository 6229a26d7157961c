#include "flows/archive_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <istream>
#include <streambuf>

#include "archive/package_walk.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

// A read-only view of the bytes, for the part reader's source.
class MemoryBuf : public std::streambuf {
 public:
  MemoryBuf(const char* data, uint32_t size) {
    char* begin = const_cast<char*>(data);
    setg(begin, begin, begin + size);
  }
};

}  // namespace

bool archive_is_sound(const char* data, uint32_t size) {
  MemoryBuf source(data, size);
  std::istream in(&source);
  return archive_is_genuine(in, size);
}

bool archive_file_is_sound(const std::string& path) {
  int fd = open(root_path(path).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  FdInBuf source(fd, true);
  std::istream in(&source);
  return archive_is_genuine(in, uint64_t(st.st_size));
}
