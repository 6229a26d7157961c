#include "flows/archive_check.h"

#include <istream>
#include <streambuf>

#include "archive/package_walk.h"
#include "archive/part_reader.h"

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
  PartReader r(in, true);
  if (r.bad() || r.total_length() != size) return false;
  WalkedArchive walked;
  walk_archive(r, WalkMode::kImage, &walked);
  if (!walked.readable || walked.packages.empty() || walked.too_many) return false;
  if (!walked.bundle) return walked.packages.front().genuine();
  for (const WalkedPackage& member : walked.packages)
    if (!member.genuine()) return false;
  return true;
}
