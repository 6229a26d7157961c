// read_package_file on arbitrary bytes: the file is written into a scratch root and opened
// as the local flows open archives on a medium. The record must stay consistent: a bundle
// has members only when it is a bundle, names fit their 16 bytes.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "archive/package.h"
#include "fuzz_support.h"
#include "system/root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = [] {
    std::string r = scratch_dir("package_file") + "/root";
    mkdir(r.c_str(), 0755);
    set_root_prefix(r);
    return r;
  }();
  if (!put_file(root + "/floppy/p.kpk", std::string_view(reinterpret_cast<const char*>(data), size)))
    oracle_failure("package_file", "cannot write the scratch file");
  int fds = open_descriptor_count();
  PackageFile file;
  bool ok = read_package_file(file, "/floppy/p.kpk");
  if (open_descriptor_count() != fds) oracle_failure("package_file", "a descriptor was left open");
  if (ok && file.is_bundle == file.members.empty())
    oracle_failure("package_file", "bundle and members disagree");
  if (file.name.size() > 16) oracle_failure("package_file", "a name longer than 16 bytes");
  for (const auto& m : file.members)
    if (m->name.size() > 16 || m->is_bundle) oracle_failure("package_file", "bad member");
  return 0;
}
