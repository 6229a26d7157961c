// Extraction and installation of single packages, including a suite of hostile archives.
#include "pkgmgr/installation.h"
#include "pkgmgr/journal.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "pkgmgr/package_manager.h"
#include "system/output.h"
#include "testing/scratch_root.h"
#include "testing/signing.h"
#include "testing/tree_util.h"
#include "testing/stream_util.h"

namespace {

using kpk::FileEntry;

FileEntry file(const std::string& name, const std::string& content, uint16_t mode = 0100644,
               uint32_t mtime = 1000000) {
  FileEntry f;
  f.name = name;
  f.content = content;
  f.mode = mode;
  f.mtime = mtime;
  return f;
}

FileEntry dir(const std::string& name, uint16_t mode = 040755, uint32_t mtime = 2000000) {
  return file(name, "", mode, mtime);
}

FileEntry link(const std::string& name, const std::string& target) {
  return file(name, target, 0120777);
}

FileEntry device(const std::string& name, uint16_t type, uint32_t major, uint32_t minor,
                 uint16_t perms = 0660) {
  std::string number;
  kpk::put_le32(number, kpk::encode_device(major, minor));
  return file(name, number, uint16_t(type | perms));
}

kpk::PackageSpec spec(const std::string& name, std::vector<FileEntry> files) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = 0x01006600;
  s.has_files = true;
  s.files = std::move(files);
  return s;
}

class InstallTest : public ScratchRoot {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    write("/flash/var/pdb/.keep", "");  // a target with its (empty) database
    // Things outside the target that no archive may reach.
    write("/outside/passwd", "root:x:0:0\n");
    write("/outside/motd", "hello\n");
  }

  void write(const std::string& path, const std::string& content, int mode = 0644) {
    put(host(path), content);
    chmod(host(path).c_str(), mode_t(mode));
  }
  std::string read(const std::string& path) { return get(host(path)); }
  bool present(const std::string& path) { return exists(host(path)); }

  // Reads the archive's header and metadata into p and installs it as the image-mode child
  // does (disabled when asked).
  bool install(const std::string& bytes, Package* p, const Target& target = Target::flash(),
               bool disabled = false) {
    MemoryStream in(bytes);
    PartReader r(in, true);
    for (int32_t t : {PackageHeader, BundleHeader, BundleContents, Architecture, Depends, Provides,
                      Conflicts, Image, FileData, InstallScript, UninstallScript, Signature})
      r.want(t);
    r.next_part();
    if (!read_package_info(*p, r)) return false;
    p->disabled = disabled;
    return install_package(pm_, *p, r, target);
  }

  // Runs only the extraction of the archive's FileData part, an installation as its sink.
  bool extract(const std::string& bytes, Package* p) {
    MemoryStream in(bytes);
    PartReader r(in, true);
    r.want(PackageHeader);
    r.want(FileData);
    r.next_part();
    if (!read_package_info(*p, r) || r.current_type() != FileData) return false;
    Journal journal(pm_);
    Installation sink(pm_, *p, r, Target::flash(), journal);
    bool ok = extract_files(r, Target::flash(), "", sink);
    journal.commit();
    return ok;
  }

  std::vector<std::string> lines() { return console_lines(out_.take()); }

  PackageManager pm_;
  OutputCapture out_;
};

TEST_F(InstallTest, EveryKindOfEntryLandsWithItsAttributes) {
  std::vector<FileEntry> files = {dir("etc", 040750, 3000000), file("etc/x", "abc", 0104711, 4000000),
                                  file("/etc/y", "absolute", 0100600), link("etc/z", "x"),
                                  file("bin/deep/tool", "t", 0100755), file("skipped/x", "s")};
  files.back().skip = true;
  files[1].uid = 12;
  files[1].gid = 34;
  if (running_as_root()) {
    files.push_back(device("dev/lcd", kTypeCharDevice, 10, 60, 0666));
    files.push_back(device("dev/big", kTypeBlockDevice, 259, 70000, 0600));
    files.push_back(file("run/fifo", "", 0010620));
  }
  Package p;
  ASSERT_TRUE(extract(kpk::package_archive(spec("kinds", files), false), &p));
  EXPECT_EQ(read("/flash/etc/x"), "abc");
  EXPECT_EQ(read("/flash/etc/y"), "absolute");
  struct stat st;
  ASSERT_EQ(lstat(host("/flash/etc/x").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 4000000);
  ASSERT_EQ(lstat(host("/flash/etc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(st.st_mtime, 3000000);  // restored after its entries were written
  ASSERT_EQ(lstat(host("/flash/etc/z").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(lstat(host("/flash/bin/deep").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE(present("/flash/skipped"));  // parents of a skipped entry are made
  EXPECT_FALSE(present("/flash/skipped/x"));
  std::set<std::string> expect = {"/etc/x", "/etc/y", "/etc/z", "/bin/deep/tool"};
  if (running_as_root()) {
    ASSERT_EQ(lstat(host("/flash/etc/x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04711u);  // set-uid kept, not reduced by the umask
    EXPECT_EQ(st.st_uid, 12u);
    EXPECT_EQ(st.st_gid, 34u);
    ASSERT_EQ(lstat(host("/flash/dev/lcd").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 10u);
    EXPECT_EQ(minor(st.st_rdev), 60u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    ASSERT_EQ(lstat(host("/flash/dev/big").c_str(), &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 259u);
    EXPECT_EQ(minor(st.st_rdev), 70000u);
    ASSERT_EQ(lstat(host("/flash/run/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0620u);
    expect.insert({"/dev/lcd", "/dev/big", "/run/fifo"});
  }
  EXPECT_EQ(p.files, expect);
  EXPECT_TRUE(lines().empty());
}

TEST_F(InstallTest, RelativeAndAbsoluteNamesMeetAndDisabledPackagesGoUnderX) {
  Package p;
  ASSERT_TRUE(extract(kpk::package_archive(spec("twice", {file("etc/x", "1"), file("/etc/x", "2")}), false), &p));
  EXPECT_EQ(read("/flash/etc/x"), "2");
  EXPECT_EQ(p.files, std::set<std::string>{"/etc/x"});

  Package extras;
  ASSERT_TRUE(install(signed_archive(spec("extras", {file("bin/tool", "t")})), &extras,
                      Target::flash(), true));
  EXPECT_EQ(read("/flash/x/extras/bin/tool"), "t");
  EXPECT_EQ(extras.files, std::set<std::string>{"/x/extras/bin/tool"});
  EXPECT_TRUE(present("/flash/x/extras/var/pdb/extras"));
}

TEST_F(InstallTest, ExistingDirectoriesCollisionsAndGhosts) {
  write("/flash/etc/ppp.conf", "old ppp");
  write("/flash/etc/ghost.conf", "nobody's");
  chmod(host("/flash/var").c_str(), 0700);
  auto owner = std::make_unique<Package>();
  owner->name = "ppp";
  owner->files = {"/etc/ppp.conf"};
  pm_.installed().push_back(std::move(owner));

  Package p;
  ASSERT_TRUE(extract(kpk::package_archive(
                          spec("new", {dir("var", 040755), file("etc/ppp.conf", "new ppp"),
                                       file("etc/ghost.conf", "mine")}),
                          false),
                      &p));
  EXPECT_EQ(read("/flash/etc/ppp.conf"), "old ppp");
  EXPECT_EQ(read("/flash/etc/ghost.conf"), "mine");
  struct stat st;
  ASSERT_EQ(stat(host("/flash/var").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);  // an existing directory keeps its mode
  EXPECT_EQ(p.files, std::set<std::string>{"/etc/ghost.conf"});
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "WARNING: file /etc/ppp.conf collides with ppp package",
                         "WARNING: ghost file /etc/ghost.conf"}));

  // A plain archive replaces without asking.
  Package plain;
  ASSERT_TRUE(extract(kpk::package_archive(spec("plain", {file("etc/ppp.conf", "plain")}), true),
                      &plain));
  EXPECT_EQ(read("/flash/etc/ppp.conf"), "plain");
  EXPECT_TRUE(lines().empty());
}

TEST_F(InstallTest, CutShortRecordHeaderEndsTheListCleanly) {
  std::string first = kpk::file_record(file("a", "1"));
  std::string second = kpk::file_record(file("b", "2"));
  // The data ends ten bytes into the second record's header.
  std::string parts = kpk::part(PackageHeader, kpk::header_record("cut", 1, 0)) +
                      kpk::part(FileData, kpk::zlib_compress(first + second.substr(0, 10)));
  Package p;
  ASSERT_TRUE(extract(kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts, &p));
  EXPECT_EQ(read("/flash/a"), "1");
  EXPECT_EQ(p.files.size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Hostile archives. Every one must fail, leave everything outside the target as it was,
// leave every file that was in the target before as it was, and say why in one message.

struct Hostile {
  const char* title;
  std::string archive;
  std::vector<std::string> messages;
};

std::string raw_package(const std::string& name, const std::string& records,
                        const std::string& extra_parts = "") {
  std::string parts = kpk::part(PackageHeader, kpk::header_record(name, 0x01006600, 0)) + extra_parts +
                      kpk::part(FileData, kpk::zlib_compress(records));
  return kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts;
}

std::string records(std::vector<FileEntry> files) {
  std::string out;
  for (const FileEntry& f : files) out += kpk::file_record(f);
  return out;
}

std::string broken(const char* name = "evil") {
  return std::string("ERROR: installation of ") + name + "-1.0 failed: broken package";
}

std::string missing(const char* entry) {
  return std::string("ERROR: installation of evil-1.0 failed: could not create ") + entry +
         ": No such file or directory";
}

std::vector<Hostile> hostile_cases(const std::string& outside) {
  std::vector<Hostile> cases;
  auto add = [&](const char* title, std::string archive, std::vector<std::string> messages) {
    cases.push_back({title, std::move(archive), std::move(messages)});
  };
  add("dot-dot component", raw_package("evil", records({file("../outside/passwd", "owned")})), {broken()});
  add("dot-dot deep", raw_package("evil", records({file("etc/../../outside/passwd", "x")})), {broken()});
  add("dot-dot at the end", raw_package("evil", records({file("etc/..", "x")})), {broken()});
  add("empty name", raw_package("evil", records({file("", "x")})), {broken()});
  add("only slashes", raw_package("evil", records({file("//./", "x")})), {broken()});
  add("NUL inside the name", raw_package("evil", records({file(std::string("etc/a\0b", 7), "x")})),
      {broken()});
  add("absolute names stay inside, then not genuine",
      raw_package("evil", records({file("/outside/passwd", "x"), file("/etc/new", "y")})), {broken()});
  // Links lead to where they would if the target were the root directory: never out of it.
  add("symlink to / then a file beneath",
      raw_package("evil", records({link("root", "/"), file("root" + outside + "/passwd", "x")})),
      {broken()});
  add("symlink climbing above the root then a file beneath",
      raw_package("evil", records({link("etc/up", "../../../../.."), file("etc/up/outside/x", "x")})),
      {broken()});
  add("symlink out of the tree then a file beneath",
      raw_package("evil", records({link("out", "../gone"), file("out/passwd", "x")})),
      {missing("out/passwd")});
  add("symlink to an absolute directory then a directory beneath",
      raw_package("evil", records({link("abs", outside + "-nowhere"), dir("abs/sub")})),
      {missing("abs/sub")});
  add("symlink planted then written through",
      raw_package("evil", records({link("etc/motd2", "../../outside/motd"), file("etc/motd2", "x")})),
      {broken()});
  // (Earlier cases made /flash/outside, where it leads, and took it away again.)
  add("pre-existing link in a parent directory",
      raw_package("evil", records({file("linked/passwd", "x")})), {missing("linked/passwd")});
  add("pre-existing link at the entry itself",
      raw_package("evil", records({file("etc/motd", "written through?")})), {broken()});
  add("pre-existing dangling link at the entry itself",
      raw_package("evil", records({file("etc/dangling", "x")})), {broken()});
  add("device entry of 3 bytes",
      raw_package("evil", records({file("dev/x", "abc", 0020644)})), {broken()});
  add("device entry of 5 bytes",
      raw_package("evil", records({file("dev/x", "abcde", 0060644)})), {broken()});
  add("socket type", raw_package("evil", records({file("s", "", 0140644)})), {broken()});
  add("type bits zero", raw_package("evil", records({file("z", "", 0000644)})), {broken()});
  {
    std::string recs = records({file("etc/partial", std::string(5000, 'p'))});
    recs.resize(recs.size() - 1000);
    add("file content cut short", raw_package("evil", recs), {broken()});
  }
  {
    std::string parts = kpk::part(PackageHeader, kpk::header_record("evil", 0x01006600, 0)) +
                        kpk::part(FileData, kpk::zlib_compress(records({file("etc/a", "1")})));
    parts.resize(parts.size() - 3);
    add("file-data part cut short",
        kpk::file_header(kRegularMagic, uint32_t(parts.size())) + parts, {broken()});
  }
  {
    FileEntry f = file("etc/huge-name", "x");
    std::string rec = kpk::file_record(f);
    rec[28] = '\xff';
    rec[29] = '\xff';  // name length 65535 over a few bytes
    add("lying name length", raw_package("evil", rec), {broken()});
  }
  {
    FileEntry f = link("etc/link", "target");
    std::string rec = kpk::file_record(f);
    rec.replace(24, 4, "\xf0\xff\xff\xff");  // a link target of almost 4 GiB
    add("lying link target length", raw_package("evil", rec), {broken()});
  }
  add("lying script length",
      raw_package("evil", records({file("etc/a", "1")}),
                  kpk::part_header(InstallScript, 0xFFFFFFF0) + "echo hi"),
      {broken()});
  add("forged signature after a ghost-file replacement",
      raw_package("evil", records({file("etc/ghost", "forged content", 0100755)})) +
          kpk::part(Signature, std::string(68, '\x5a')),
      {"WARNING: ghost file /etc/ghost", broken()});
  add("directory over a ghost file, not genuine",
      raw_package("evil", records({dir("etc/ghost"), file("etc/ghost/inner", "x")})),
      {"WARNING: ghost file /etc/ghost", broken()});
  add("package named ..", raw_package("..", records({file("x", "1")})), {broken("..")});
  add("package name with a slash", raw_package("a/b", records({file("x", "1")})), {broken("a/b")});
  add("unsigned package followed by an out-of-order part",
      raw_package("evil", records({file("etc/a", "1")})) + kpk::part(Depends, std::string(2, '\0')),
      {broken()});
  return cases;
}

TEST_F(InstallTest, HostileArchivesChangeNothingOutsideOrBefore) {
  std::string outside = host("/outside");
  // The target before: files of no package, links planted on the disk.
  write("/flash/etc/ghost", "original ghost", 0640);
  write("/flash/etc/keep", "keep me");
  ASSERT_EQ(symlink("../../outside/motd", host("/flash/etc/motd").c_str()), 0);
  ASSERT_EQ(symlink("../../outside/nothing", host("/flash/etc/dangling").c_str()), 0);
  ASSERT_EQ(symlink("../outside", host("/flash/linked").c_str()), 0);

  // Every case with the kernel's resolution of links, then with the walk in user space.
  for (LinkResolution how : {LinkResolution::kKernel, LinkResolution::kWalk}) {
  set_link_resolution(how);
  for (const Hostile& c : hostile_cases(outside)) {
    SCOPED_TRACE(std::string(c.title) + (how == LinkResolution::kWalk ? " (walk)" : ""));
    auto before_outside = fingerprint(outside, true);
    auto before_target = fingerprint(host("/flash"), false);
    Package p;
    EXPECT_FALSE(install(c.archive, &p));
    EXPECT_EQ(fingerprint_diff(before_outside, fingerprint(outside, true)), "");
    // Every entry that was there is as it was, and nothing is left behind, not even the
    // directories made on the way.
    EXPECT_EQ(fingerprint_diff(before_target, fingerprint(host("/flash"), false)), "");
    EXPECT_EQ(lines(), c.messages);
    EXPECT_TRUE(p.files.empty());
  }
  }
  set_link_resolution(LinkResolution::kKernel);
  EXPECT_FALSE(present("/flash/var/pdb/evil"));
}

}  // namespace

namespace {

class GenuineInstallTest : public InstallTest {};

TEST_F(GenuineInstallTest, SignedPackageIsRecordedAndAnnounced) {
  kpk::PackageSpec s = spec("ppp", {file("etc/ppp/options", "lock\n"), dir("var/run")});
  s.has_install_script = true;
  s.install_script = "echo ran > /ran-by-script\n";
  s.has_uninstall_script = true;
  s.uninstall_script = "true\n";
  Package p;
  ASSERT_TRUE(install(signed_archive(s), &p));
  // There is no shell in this target, so the script fails; the package stays installed.
  EXPECT_EQ(lines(), (std::vector<std::string>{"WARNING: package ppp-1.0 oninstall script failed",
                                               "installed ppp-1.0"}));
  EXPECT_EQ(read("/flash/var/pdb/ppp/files"), "etc/ppp/options\n");
  EXPECT_EQ(read("/flash/var/pdb/ppp/version"), "16803328 0\n");
  EXPECT_EQ(read("/flash/var/pdb/ppp/oninstall"),
            "#!/bin/bash\n\n. /kest/lib/install/profile.sh\n\necho ran > /ran-by-script\n");
  struct stat st;
  ASSERT_EQ(stat(host("/flash/var/pdb/ppp/onuninstall").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// Puts the host's bash and the libraries it needs into the target, so that scripts can run
// chrooted there.
bool give_target_a_shell(const std::string& flash) {
  std::string command = "set -e; mkdir -p '" + flash + "/bin' '" + flash + "/kest/lib/install'; "
                        "cp /bin/bash '" + flash + "/bin/bash'; "
                        "for lib in $(ldd /bin/bash | grep -o '/[^ ]*'); do "
                        "  mkdir -p \"" + flash + "$(dirname $lib)\"; cp -L $lib \"" + flash + "$lib\"; done; "
                        "mkdir -p '" + flash + "/dev'; mknod -m 666 '" + flash + "/dev/null' c 1 3; "
                        "echo 'PROFILE=yes' > '" + flash + "/kest/lib/install/profile.sh'";
  return system(command.c_str()) == 0;
}

TEST_F(GenuineInstallTest, ScriptsRunChrootedWithTheProfileAndTheirOutputDiscarded) {
  if (!running_as_root()) GTEST_SKIP() << "chroot needs root";
  ASSERT_TRUE(give_target_a_shell(host("/flash")));
  kpk::PackageSpec s = spec("ppp", {file("etc/ppp/options", "lock\n")});
  s.has_install_script = true;
  s.install_script = "echo \"$PROFILE $(< /etc/ppp/options)\" > /ran; echo noise; echo err >&2\n";
  Package p;
  ASSERT_TRUE(install(signed_archive(s), &p));
  EXPECT_EQ(read("/flash/ran"), "yes lock\n");
  EXPECT_EQ(lines(), std::vector<std::string>{"installed ppp-1.0"});

  kpk::PackageSpec failing = spec("bad", {});
  failing.has_install_script = true;
  failing.install_script = "exit 1\n";
  Package q;
  ASSERT_TRUE(install(signed_archive(failing), &q));
  EXPECT_EQ(lines(), (std::vector<std::string>{"WARNING: package bad-1.0 oninstall script failed",
                                               "installed bad-1.0"}));
  EXPECT_TRUE(present("/flash/var/pdb/bad/version"));

  // A disabled package's script does not run.
  kpk::PackageSpec quiet = spec("off", {});
  quiet.has_install_script = true;
  quiet.install_script = "touch /off-ran\n";
  MemoryStream in(signed_archive(quiet));
  PartReader r(in, true);
  for (int32_t t : {PackageHeader, InstallScript, FileData, Signature}) r.want(t);
  r.next_part();
  Package off;
  ASSERT_TRUE(read_package_info(off, r));
  off.disabled = true;
  ASSERT_TRUE(install_package(pm_, off, r, Target::flash()));
  EXPECT_FALSE(present("/flash/off-ran"));
  EXPECT_EQ(lines(), std::vector<std::string>{"installed (disabled) off-1.0"});
}

TEST_F(GenuineInstallTest, TamperedOrUnsignedPackagesAreRolledBack) {
  write("/flash/etc/ghost", "the original", 0600);
  kpk::PackageSpec s = spec("ppp", {file("etc/ghost", "replacement"), file("etc/new", "n")});
  std::string good = signed_archive(s);
  // Flip one byte of the compressed file data: still a valid archive, no longer genuine.
  std::string bad = good;
  bad[bad.size() - 68 - 6 - 10] ^= 1;
  Package p;
  EXPECT_FALSE(install(bad, &p));
  EXPECT_EQ(read("/flash/etc/ghost"), "the original");
  EXPECT_FALSE(present("/flash/etc/new"));
  EXPECT_FALSE(present("/flash/var/pdb/ppp"));
  auto seen = lines();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), "ERROR: installation of ppp-1.0 failed: broken package");

  Package q;
  ASSERT_TRUE(install(good, &q));
  EXPECT_EQ(read("/flash/etc/ghost"), "replacement");
  EXPECT_EQ(lines(), (std::vector<std::string>{"WARNING: ghost file /etc/ghost", "installed ppp-1.0"}));
  // The moved-aside original is gone once the installation stands.
  auto listing = fingerprint(host("/flash/etc"), false);
  EXPECT_EQ(listing.size(), 2u);
}

TEST_F(GenuineInstallTest, RecordDirectoryThatCannotBeMadeIsReported) {
  std::filesystem::remove_all(host("/flash/var/pdb"));
  write("/flash/var/pdb", "a file where the database should be");
  Package p;
  EXPECT_FALSE(install(signed_archive(spec("ppp", {file("etc/ppp", "x")})), &p));
  EXPECT_EQ(lines(), std::vector<std::string>{
                         "ERROR: installation of ppp-1.0 failed: could not create meta: "
                         "Not a directory"});
  EXPECT_FALSE(present("/flash/etc/ppp"));
}

TEST_F(GenuineInstallTest, ImagePackagesSkipTheInstallScriptAndPlainOnesWriteNoRecord) {
  kpk::PackageSpec s = spec("img", {file("boot/kernel", "k")});
  s.has_image = true;
  s.image = std::string(10000, 'i');
  s.has_install_script = true;
  s.install_script = "echo\n";
  Package p;
  ASSERT_TRUE(install(signed_archive(s), &p));
  EXPECT_TRUE(p.has_image);
  EXPECT_FALSE(present("/flash/var/pdb/img/oninstall"));
  EXPECT_TRUE(present("/flash/var/pdb/img/version"));

  Package plain;
  ASSERT_TRUE(install(signed_archive(spec("raw", {file("etc/raw", "r")}), true), &plain));
  EXPECT_EQ(read("/flash/etc/raw"), "r");
  EXPECT_FALSE(present("/flash/var/pdb/raw"));

  // A plain archive that fails leaves an installed package's record of its name alone.
  write("/flash/var/pdb/keep/version", "1 0\n");
  std::string broken_plain = signed_archive(spec("keep", {file("etc/k", "k")}), true);
  broken_plain[broken_plain.size() - 1] ^= 1;  // damage the signature
  Package failing;
  EXPECT_FALSE(install(broken_plain, &failing));
  EXPECT_EQ(read("/flash/var/pdb/keep/version"), "1 0\n");
  EXPECT_FALSE(present("/flash/etc/k"));
}

TEST_F(GenuineInstallTest, RelativeInstallLandsBelowTheWorkingDirectory) {
  ASSERT_EQ(chdir(host("/").c_str()), 0);
  Package p;
  ASSERT_TRUE(install(signed_archive(spec("drv", {file("lib/modules/x.ko", "ko")}), true), &p,
                      Target::running_system()));
  EXPECT_EQ(read("/lib/modules/x.ko"), "ko");
  EXPECT_EQ(p.files, std::set<std::string>{"./lib/modules/x.ko"});
  RecordedPath entry;
  ASSERT_TRUE(RecordedPath::parse(*p.files.begin(), &entry));
  remove_entry(entry);  // a recorded "./" path is found below the working directory again
  EXPECT_FALSE(present("/lib/modules/x.ko"));
}

}  // namespace

namespace {

// Every prefix of a signed package, installed: a clean failure with nothing left behind, and
// success only for the whole archive.
TEST_F(GenuineInstallTest, EveryTruncationFailsCleanly) {
  kpk::PackageSpec s = spec("cut", {dir("etc"), file("etc/a", std::string(3000, 'a')),
                                    link("etc/l", "a"), file("etc/b", "bbb")});
  s.has_install_script = true;
  s.install_script = "true\n";
  std::string whole = signed_archive(s);
  for (size_t n = 0; n <= whole.size(); n += (n < 120 ? 1 : 7)) {
    SCOPED_TRACE(n);
    Package p;
    bool ok = install(whole.substr(0, n), &p);
    if (n < whole.size()) {
      EXPECT_FALSE(ok);
      EXPECT_FALSE(present("/flash/etc/a"));
      EXPECT_FALSE(present("/flash/var/pdb/cut"));
    }
    lines();
  }
  Package p;
  EXPECT_TRUE(install(whole, &p));
}

}  // namespace
