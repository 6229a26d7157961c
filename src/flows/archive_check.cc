#include "flows/archive_check.h"

#include <istream>
#include <streambuf>

#include "archive/package.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/installation.h"

namespace {

// A read-only view of the bytes, for the part reader's source.
class MemoryBuf : public std::streambuf {
 public:
  MemoryBuf(const char* data, uint32_t size) {
    char* begin = const_cast<char*>(data);
    setg(begin, begin, begin + size);
  }
};

// Walks one package from its header to its end, in the order the installation reads it
// (metadata, image, scripts, file data), and judges it genuine in the same way.
bool package_is_sound(PartReader& r) {
  PackageInfo info;
  if (!read_package_info(info, r)) return false;
  for (int32_t type : {Image, InstallScript, UninstallScript, FileData})
    if (r.current_type() == type) r.next_part();
  return walked_package_is_genuine(r);
}

}  // namespace

bool archive_is_sound(const char* data, uint32_t size) {
  MemoryBuf source(data, size);
  std::istream in(&source);
  PartReader r(in, true);
  if (r.bad() || r.total_length() != size) return false;
  // The types the installation child stops at, so that the walk takes the same parts.
  for (int32_t type : {PackageHeader, BundleHeader, BundleContents, Architecture, Depends,
                       Provides, Conflicts, Image, FileData, InstallScript, UninstallScript,
                       Signature})
    r.want(type);
  r.next_part();
  if (r.current_type() == BundleHeader) {
    PackageInfo bundle;
    if (!read_package_info(bundle, r)) return false;
    if (r.current_type() == Image) r.next_part();
    if (r.current_type() == BundleContents) r.next_part();
    if (r.current_type() != PackageHeader) return false;
    while (r.current_type() == PackageHeader)
      if (!package_is_sound(r)) return false;
    return true;
  }
  return r.current_type() == PackageHeader && package_is_sound(r);
}
