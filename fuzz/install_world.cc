#include "install_world.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "archive/inflate_reader.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "fuzz_support.h"
#include "integrity/trusted_digest.h"
#include "pkgmgr/database.h"
#include "pkgmgr/install_child.h"
#include "pkgmgr/package_manager.h"
#include "system/root.h"
#include "testing/signing.h"
#include "testing/stream_util.h"

namespace {

kpk::FileEntry entry(const std::string& name, uint16_t mode, const std::string& content) {
  kpk::FileEntry f;
  f.name = name;
  f.mode = mode;
  f.mtime = 1700000000;
  f.content = content;
  return f;
}

kpk::PackageSpec spec(const std::string& name, uint32_t version,
                      std::vector<kpk::FileEntry> files) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  s.build = 1700000000;
  s.has_files = true;
  s.files = std::move(files);
  return s;
}

std::vector<kpk::PackageSpec> genuine_specs() {
  std::vector<kpk::PackageSpec> specs;
  specs.push_back(spec("base", 0x01006600,
                       {entry("etc", 040755, ""), entry("etc/base.conf", 0100644, "base 1.0\n"),
                        entry("bin/base", 0100755, "#!/bin/sh\n"),
                        entry("usr/lib/libbase.so", 0100644, std::string(3000, 'L')),
                        entry("lib", 0120777, "usr/lib")}));
  specs.push_back(spec("base", 0x01016600,
                       {entry("etc/base.conf", 0100644, "base 1.1\n"),
                        entry("bin/base", 0100755, "#!/bin/sh\necho 1.1\n")}));
  specs.push_back(spec("alpha", 0x01006600, {entry("opt/alpha/a", 0100644, "alpha\n")}));
  specs.push_back(spec("beta", 0x01006600, {entry("opt/beta/b", 0100644, "beta\n")}));
  specs.back().depends.push_back(PackageRef{"alpha", 0, 0, 0});
  return specs;
}

// The installed entries of the template's database: recorded path -> fingerprint key.
std::map<std::string, std::string> installed_versions(const std::string& root) {
  std::map<std::string, std::string> out;
  Fingerprint f = fingerprint(root + "/flash/var/pdb");
  for (const auto& [path, what] : f)
    if (path.size() > 8 && path.compare(path.size() - 8, 8, "/version") == 0) out[path] = what;
  return out;
}

}  // namespace

InstallWorld& InstallWorld::get(const char* target) {
  static InstallWorld* world = new InstallWorld(target);
  return *world;
}

InstallWorld::InstallWorld(const char* target) : target_(target) {
  // Inflating on a second thread makes coverage depend on scheduling and costs a thread and
  // its buffers per archive; the inflate target fuzzes that path.
  set_inflate_ahead(InflateAhead::kNever);
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) cwd_ = cwd;
  saved_stdin_ = fcntl(0, F_DUPFD_CLOEXEC, 100);
  scratch_ = scratch_dir(target);
  template_ = scratch_ + "/template";
  root_ = scratch_ + "/root";
  outside_ = scratch_ + "/outside";
  mkdir(template_.c_str(), 0755);
  mkdir(root_.c_str(), 0755);
  put_file(outside_ + "/keep", "outside the scratch root\n");
  put_file(template_ + "/etc/keep", "outside the target\n");
  put_file(template_ + "/ram/pdb/.keep", "");
  put_file(template_ + "/flash/etc/ghost", "a file no package owns\n");
  mkdir((template_ + "/flash/var").c_str(), 0755);
  symlink("../../../outside", (template_ + "/flash/var/escape").c_str());
  symlink("/etc", (template_ + "/flash/abs").c_str());

  std::vector<kpk::PackageSpec> specs = genuine_specs();
  for (int i = 0; i < kMembers; ++i) members_[i] = signed_parts(kpk::package_parts(specs[size_t(i)]));
  // Installed: base 1.0 on its own, a depending package, and a bundle with one member.
  set_root_prefix(template_);
  make_dirs("/flash/var/pdb");
  QuietConsole quiet;
  install(signed_archive(specs[0]));
  kpk::PackageSpec tool = spec("tool", 0x02006600, {entry("bin/tool", 0100755, "tool\n")});
  tool.depends.push_back(PackageRef{"base", 0x01006600, 0, 0});
  install(signed_archive(tool));
  kpk::BundleSpec suite;
  suite.name = "suite";
  suite.version = 0x01006600;
  kpk::PackageSpec part = spec("part", 0x01006600, {entry("opt/part", 0100644, "part\n")});
  install(kpk::bundle_archive(suite, {signed_parts(kpk::package_parts(part))}, false));
  if (installed_versions(template_).size() != 4)
    oracle_failure(target_, "the world's packages did not install:\n" +
                                fingerprint_diff({}, fingerprint(template_ + "/flash/var/pdb")));
  template_print_ = fingerprint(template_);
  outside_print_ = fingerprint(outside_);
  copy_tree(template_, root_);
  std::string copied = fingerprint_diff(template_print_, fingerprint(root_));
  if (!copied.empty()) oracle_failure(target_, "the copy of the world differs:\n" + copied);
  root_changed_ = false;
}

const std::string& InstallWorld::member_parts(int i) const { return members_[i % kMembers]; }

void InstallWorld::install(const std::string& archive) {
  int fd = memfd_create("archive", MFD_CLOEXEC);
  if (fd < 0 || write(fd, archive.data(), archive.size()) != ssize_t(archive.size()) ||
      lseek(fd, 0, SEEK_SET) != 0)
    oracle_failure(target_, "cannot stage the archive");
  dup2(fd, 0);
  close(fd);
  InstallChildRequest request;
  request.image = true;
  request.quiet = false;
  request.archive_name = "fuzz.kpk";
  install_child_body(request);
  dup2(saved_stdin_, 0);
  if (!cwd_.empty() && chdir(cwd_.c_str()) != 0) oracle_failure(target_, "cannot return");
}

bool InstallWorld::carries_genuine_package(const std::string& archive) {
  MemoryStream source(archive, false);
  PartReader r(source, true);
  r.want(PackageHeader);
  r.want(Signature);
  for (;;) {
    int32_t type = r.next_part();
    uint8_t digest[20];
    if ((type == PackageHeader || type == -1) && r.take_package_digest(digest) &&
        is_trusted_digest(digest))
      return true;
    if (type == Signature && r.verify_signature_part()) return true;
    if (type == -1) return false;
  }
}

void InstallWorld::run(const std::string& archive) {
  if (root_changed_) {
    restore_tree(template_, template_print_, root_, changed_print_);
    // Now and then the whole root is compared again, which keeps the restore honest.
    if (++restores_ % 16 == 0) {
      std::string left = fingerprint_diff(template_print_, fingerprint(root_));
      if (!left.empty()) oracle_failure(target_, "restoring the world left differences:\n" + left);
    }
  }
  set_root_prefix(root_);
  const Fingerprint& before = template_print_;
  int fds = open_descriptor_count();
  {
    QuietConsole quiet;
    install(archive);
  }
  if (open_descriptor_count() != fds) oracle_failure(target_, "a descriptor was left open");
  Fingerprint after = fingerprint(root_);
  root_changed_ = after != before;
  if (root_changed_) changed_print_ = after;
  std::string outside = fingerprint_diff(outside_print_, fingerprint(outside_));
  if (!outside.empty()) oracle_failure(target_, "changed outside the scratch root:\n" + outside);
  if (!root_changed_) return;
  Fingerprint target_before, target_after, rest_before, rest_after;
  for (const Fingerprint* side : {&before, static_cast<const Fingerprint*>(&after)}) {
    for (const auto& [path, what] : *side) {
      bool in_target = path.compare(0, 6, "flash/") == 0 || path == "flash";
      (side == &before ? (in_target ? target_before : rest_before)
                       : (in_target ? target_after : rest_after))[path] = what;
    }
  }
  std::string rest = fingerprint_diff(rest_before, rest_after);
  if (!rest.empty()) oracle_failure(target_, "changed outside the target:\n" + rest);
  if (carries_genuine_package(archive)) return;

  // No genuine package: the installation judges the whole archive before it writes anything,
  // so the target stays exactly as it was.
  std::string lost = fingerprint_diff(target_before, target_after);
  if (!lost.empty())
    oracle_failure(target_, "an archive without a genuine package changed the target:\n" + lost);
}
