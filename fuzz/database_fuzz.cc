// load_record and open_repository on arbitrary database trees: the fuzz input encodes a tree
// of record files, links, FIFOs and directories below /flash/var/pdb, /ram/pdb and /flash
// (fuzz_support.h: build_tree), which the package manager loads and then plans over (apply),
// which uninstalls what is broken. Optionally a genuine package is then installed over it.
// Checked: nothing outside the scratch root changes, nothing outside the target unless a
// record names a path of the running system ("./..."), and no descriptor is left open.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "archive/inflate_reader.h"
#include "archive/package_walk.h"
#include "archive/part_reader.h"
#include "archive_writer.h"
#include "fuzz_support.h"
#include "pkgmgr/database.h"
#include "pkgmgr/package_manager.h"
#include "system/root.h"
#include "testing/signing.h"
#include "testing/stream_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string scratch = scratch_dir("database");
  static const std::string root = scratch + "/root", outside = scratch + "/outside";
  static const std::string genuine = [] {
    kpk::PackageSpec s;
    s.name = "base";
    s.version = 0x01016600;
    s.has_files = true;
    kpk::FileEntry f;
    f.name = "etc/base.conf";
    f.mode = 0100644;
    f.content = "base\n";
    s.files.push_back(f);
    s.depends.push_back(PackageRef{"tool", 0, 0, 0});
    return signed_archive(s);
  }();
  static bool ready = [] {
    set_inflate_ahead(InflateAhead::kNever);  // one thread: coverage that does not vary
    mkdir(root.c_str(), 0755);
    put_file(outside + "/keep", "outside the scratch root\n");
    return true;
  }();
  (void)ready;

  empty_dir(root);
  put_file(root + "/keep/file", "outside the target\n");
  put_file(root + "/flash/var/pdb/.keep", "");
  put_file(root + "/ram/pdb/.keep", "");
  put_file(root + "/flash/etc/installed", "a file of the target\n");
  set_root_prefix(root);

  ByteReader in(data, size);
  uint8_t flags = in.u8();
  build_tree(in, {root + "/flash/var/pdb", root + "/ram/pdb", root + "/flash"}, 64);
  Fingerprint outside_before = fingerprint(outside), keep_before = fingerprint(root + "/keep");
  int fds = open_descriptor_count();
  {
    QuietConsole quiet;
    PackageManager pm;
    open_repository(pm, flags & 1);
    pm.apply(flags >> 1 & 3);
    if (flags & 8) {
      WalkedArchive walked;
      {
        MemoryStream first(genuine, false);
        PartReader walk(first, true);
        walk_archive(walk, WalkMode::kImage, &walked);
      }
      MemoryStream archive(genuine, false);
      pm.install_archive(archive, kUpgrade, Choices(), nullptr, walked);
    }
  }
  if (open_descriptor_count() != fds) oracle_failure("database", "a descriptor was left open");
  std::string changed = fingerprint_diff(outside_before, fingerprint(outside));
  if (!changed.empty()) oracle_failure("database", "changed outside the scratch root:\n" + changed);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.find("./") == std::string_view::npos) {
    changed = fingerprint_diff(keep_before, fingerprint(root + "/keep"));
    if (!changed.empty()) oracle_failure("database", "changed outside the target:\n" + changed);
  }
  return 0;
}
