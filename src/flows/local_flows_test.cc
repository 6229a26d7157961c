// Whole local installations, from the entry routine to the reboot, onto a real disk: a
// loop-device image in the scratch root is partitioned, formatted, mounted and filled for real
// (as root, in a mount namespace of its own). Only the media mounts that the host kernel
// cannot make here (an iso9660 CD, a whole-disk FAT medium) are played by bind mounts of
// prepared directories. Afterwards the image is examined with e2fsprogs, not with our code.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "archive/part_type.h"
#include "archive_writer.h"
#include "disk/drive_detection.h"
#include "flows/cdrom_install.h"
#include "flows/hard_disk_install.h"
#include "frontend/entry.h"
#include "frontend/flow_table.h"
#include "system/output.h"
#include "system/root.h"
#include "testing/fake_system.h"
#include "testing/loop_disk.h"
#include "testing/stdin_text.h"
#include "testing/signing.h"
#include "testing/tree_util.h"

namespace {

// The System of these runs: mounts and unmounts are real, except the media (iso9660, vfat),
// which are bind mounts of the directory prepared for a device, and proc and sysfs, which are
// only recorded. Sleeping, rebooting and module loading are recorded by the FakeSystem.
class MediaSystem : public FakeSystem {
 public:
  std::map<std::string, std::string> media;  // device host path -> the medium's directory

  int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
            const void* data) override {
    std::string type = fstype ? fstype : "";
    if (type == "proc" || type == "sysfs")
      return FakeSystem::mount(source, target, fstype, flags, data);
    std::string line = "mount " + strip(source ? source : "") + " " + strip(target) + " " + type;
    int result;
    if (type == "iso9660" || type == "vfat") {
      auto medium = media.find(source ? source : "");
      result = medium == media.end()
                   ? (errno = ENXIO, -1)
                   : ::mount(medium->second.c_str(), target, nullptr, MS_BIND, nullptr);
      if (result == 0 && (flags & MS_RDONLY))
        ::mount(nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
    } else {
      result = ::mount(source, target, fstype, flags, data);
    }
    calls.push_back(result == 0 ? line : line + " -> fail");
    return result;
  }
  int umount(const char* target) override {
    int result = ::umount(target);
    calls.push_back("umount " + strip(target) + (result == 0 ? "" : " -> fail"));
    return result;
  }

 private:
  static std::string strip(const std::string& path) {
    const std::string& root = root_prefix();
    return path.compare(0, root.size(), root) == 0 ? path.substr(root.size()) : path;
  }
};

// A signed package that installs one file of its own mode and owner; with a planted link, also
// a link where the hard-disk flow writes its configuration script, pointing out of the target.
std::string archive(const std::string& name, std::vector<std::string> depends = {},
                    bool planted_link = false, uint32_t version = 0x01006600) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  for (const auto& d : depends) s.depends.push_back(PackageRef{d, 0, 0, 0});
  s.has_files = true;
  s.files = {{"opt", 040755, 0, 0, 0, false, ""},
             {"opt/" + name + ".conf", 0100640, 12, 34, 0, false, name + " settings\n"}};
  if (planted_link) s.files.push_back({"rw/autorun.scr", 0120777, 0, 0, 0, false, "../../outside"});
  return signed_archive(s);
}

// Hostile archives. The offset of the first part of the given type (-1 when none): parts
// follow the 8-byte file header, each a 2-byte type and a 4-byte length before its body.
long part_offset(const std::string& a, uint16_t type) {
  for (size_t at = 8; at + 6 <= a.size();) {
    uint32_t length = uint32_t(uint8_t(a[at + 2])) | uint32_t(uint8_t(a[at + 3])) << 8 |
                      uint32_t(uint8_t(a[at + 4])) << 16 | uint32_t(uint8_t(a[at + 5])) << 24;
    if ((uint8_t(a[at]) | uint8_t(a[at + 1]) << 8) == type) return long(at);
    at += 6 + length;
  }
  return -1;
}
// The package's file data declared with length instead of its own; the file header still
// tells the file's size truly.
std::string lying_file_data(const std::string& name, uint32_t length) {
  std::string a = archive(name);
  long at = part_offset(a, FileData);
  std::string field;
  kpk::put_le32(field, length);
  a.replace(size_t(at) + 2, 4, field);
  return a;
}
// A signature record whose digest copy is right and whose curve values are not the key's.
std::string forged(const std::string& name) {
  std::string a = archive(name);
  for (size_t i = a.size() - 48; i < a.size(); ++i) a[i] = char(a[i] ^ 0x5A);
  return a;
}
// A bundle that names a member in its contents and holds none.
std::string empty_bundle(const std::string& name) {
  kpk::BundleSpec b;
  b.name = name;
  b.version = 0x01006600;
  b.has_contents = true;
  b.contents = {PackageRef{"system", 0, 0, 0}};
  return kpk::bundle_archive(b, {}, false);
}

const char kShortFile[] = "<shorter than its status>";
const char kDirectory[] = "<directory>";
const char kFifo[] = "<fifo>";
const std::string kMbr(512, 'M');  // no boot code of ours
using Files = std::map<std::string, std::string>;

Files cd(std::vector<std::string> names) {
  Files files = {{"README.TXT", "not a package"}};
  std::map<std::string, std::vector<std::string>> depends = {{"dhcp", {"system"}},
                                                             {"shaper", {"filters"}}};
  for (const auto& name : names) files["pkg_" + name + ".kpk"] = archive(name, depends[name]);
  return files;
}
Files hd(std::vector<std::string> names, bool choose, std::string autorun = "ipaddr 10.0.0.1\n") {
  Files files = cd(names);
  files["mbr"] = kMbr;
  files["autorun.scr"] = autorun;
  if (choose) files["CHOOSE"] = "";
  return files;
}

struct Scenario {
  const char* title;
  bool hard_disk;      // "-hdd-install"; otherwise /TYPE says "cdrom"
  std::string device;  // where the medium is found ("": nowhere)
  Files medium;
  std::string keys;
  // What must happen:
  std::vector<std::string> console;  // fragments, in this order
  bool disk_written;
  std::string menu;      // the menu's entries in order ("" when no menu is shown)
  std::string packages;  // the target's package database (its directory names)
  std::string autorun;   // the target's /rw/autorun.scr, for hard-disk runs
  int mbr_opened;        // the medium's mbr file: 1 opened, 0 never, -1 either
  bool prompt;           // "Press ENTER to reboot"
  int passes_failed = 0;  // searches for a medium that found nothing (one sleep each)
  std::string meminfo = "";  // the root's /proc/meminfo, when the run should see one
};

std::vector<Scenario> scenarios() {
  Files corrupt = hd({"system", "ppp"}, false);
  corrupt["pkg_ppp.kpk"][corrupt["pkg_ppp.kpk"].size() - 100] ^= 0x10;  // in the file data
  Files planted = hd({"system"}, false);
  planted["pkg_planter.kpk"] = archive("planter", {}, true);
  Files no_mbr = hd({"system"}, true);
  no_mbr.erase("mbr");
  Files two_versions = hd({"system", "dhcp"}, false);
  two_versions["ppp-1.kpk"] = archive("ppp");
  two_versions["ppp-2.kpk"] = archive("ppp", {}, false, 0x02006600);
  Files candidates = cd({"dhcp", "aaa"});
  candidates[".kpk"] = archive("ppp");          // a candidate: the name ends in ".kpk"
  candidates["SYSTEM.KPK"] = archive("system");  // no candidate: the case differs
  Files unreadable = cd({"system"});
  unreadable["broken.kpk"] = kDirectory;
  Files no_archives = cd({});
  // Three archives that read as packages but cannot be installed, beside a sound one; and
  // the hostile archives one at a time on a hard-disk medium, each to be refused before the
  // disk changes.
  Files hostile_cd = cd({"system"});
  hostile_cd["pkg_liar.kpk"] = lying_file_data("liar", 0);
  hostile_cd["pkg_huge.kpk"] = lying_file_data("huge", 0xFFFFFFFF);
  hostile_cd["pkg_forged.kpk"] = forged("forged");
  std::string whole = archive("cut");
  Files truncated_cd = cd({"system"});
  truncated_cd["pkg_cut.kpk"] = whole.substr(0, whole.size() - 150);
  Files fifo_cd = cd({"system"});
  fifo_cd["pipe.kpk"] = kFifo;
  Files empty_bundle_cd = cd({"system"});
  empty_bundle_cd["hollow.kpk"] = empty_bundle("hollow");
  auto cd_with = [](const std::string& file, const std::string& bytes) {
    Files files = cd({"system"});
    files[file] = bytes;
    return files;
  };
  auto hd_with = [](const std::string& file, const std::string& bytes) {
    Files files = hd({"system"}, false);
    files[file] = bytes;
    return files;
  };
  std::vector<std::string> many;
  for (int i = 100; i < 151; ++i) many.push_back("p" + std::to_string(i));

  return {
      {"CD in the second drive: menu order; a package the rules refuse is named before the "
       "questions, does not stop the flow, and is named again at the end", false,
       "/dev/hdb", cd({"shaper", "system", "dhcp", "extras"}), "ainy\n",
       {"Found harddrive as SATA 1", "Checking packages...",
        "WARNING: can not install shaper-1.0: filters is not installed, but is required",
        "Do you want to keep old configuration?  [y/n]:n",
        "Warning: all data on the disk will be erased!", "Continue? [y/n]:y",
        "Creating partition...", "Formatting disk...",
        "ERROR: can not install shaper-1.0: filters is not installed, but is required",
        "installed system-1.0", "installed dhcp-1.0",
        "ERROR: 1 of 4 packages were not installed: shaper"},
       true, "system extras dhcp shaper", "dhcp extras system", "", -1, true},
      {"which names count; without system ppp still comes second; cancelling the menu leaves "
       "the disk untouched", false, "/dev/hdb", candidates, "q\n", {"Installation canceled"},
       false, "aaa ppp dhcp", "", "", -1, true},
      {"an entry that is no archive ends the discovery", false, "/dev/hdb", unreadable, "\n",
       {"FATAL ERROR: Bad package -0.0"}, false, "", "", "", -1, true},
      {"a CD without archives", false, "/dev/hdb", no_archives, "\n",
       {"FATAL ERROR: No packages found"}, false, "", "", "", -1, true},
      {"no to Continue? leaves the disk untouched", false, "/dev/sr0", cd({"system"}), "inn\n",
       {"Continue? [y/n]:n"}, false, "system", "", "", -1, true},
      {"nothing selected still prepares the disk and ends installed", false, "/dev/hdc",
       cd({"extras", "dhcp"}), "iny\n", {"Software installed."}, true, "extras dhcp", "", "",
       -1, true},
      {"no CD after twenty passes", false, "", {}, "\n", {"FATAL ERROR: no CD-ROM found"}, false,
       "", "", "", -1, true, 20},
      {"hard disk without CHOOSE: unattended to the reboot; of two versions the newer", true,
       "/dev/sda", two_versions, "",
       {"hard disk installation", "WARNING: omitting package ppp-1.0: newer package is already "
        "provided", "Reading: system-1.0...", "Reading: dhcp-1.0...", "installed ppp-2.0",
        "Software installed."},
       true, "", "dhcp ppp system", "ipaddr 10.0.0.1\n", 1, false},
      {"hard disk with CHOOSE: the menu, the mbr file untouched, an empty script", true,
       "/dev/sda", hd({"system", "ppp"}, true, ""), "i",
       {"Reading: system-1.0...", "Software installed."}, true, "system ppp", "system", "", 0,
       false},
      {"a link planted by a package does not lead the script out of the target", true,
       "/dev/sda", planted, "\n", {"installed planter-1.0", "FATAL ERROR: couldn't make script"},
       true, "", "planter system", "", -1, true},
      {"hard disk: a selection the rules refuse is refused while the medium is whole", true,
       "/dev/sda", hd({"system", "shaper"}, false), "\n",
       {"Reading: shaper-1.0...",
        "FATAL ERROR: can not install shaper-1.0: filters is not installed, but is required"},
       false, "", "", "", 0, true},
      {"hard disk: the scan must find the medium's disk before its first sector is written",
       true, "/dev/sdb", hd({"system"}, false), "\n", {"FATAL ERROR: Couldn't find the disk!"},
       false, "", "", "", 1, true},
      {"hard disk: archives that do not fit into memory are refused before they are read",
       true, "/dev/sda", hd({"system"}, false), "\n",
       {"FATAL ERROR: not enough memory to hold the packages: 17 MiB needed, 1 MiB free"}, false,
       "", "", "", 0, true, 0, "MemTotal: 65536 kB\nMemAvailable: 1536 kB\n"},
      {"a damaged archive is refused before the disk changes", true, "/dev/sda", corrupt, "\n",
       {"FATAL ERROR: Bad package ppp-1.0: damaged or not genuine"}, false, "", "", "", 0, true},
      {"more than 50 archives are refused before anything is read", true, "/dev/sda",
       hd(many, false), "\n",
       {"FATAL ERROR: 51 packages chosen, at most 50 can be installed from a hard disk"}, false,
       "", "", "", 0, true},
      {"a configuration script shorter than its status fails the read", true, "/dev/sda",
       hd({"system"}, false, kShortFile), "\n", {"FATAL ERROR: could not read configuration"},
       false, "", "", "", 0, true},
      {"a medium without mbr is not recognised, even with CHOOSE", true, "/dev/sda", no_mbr,
       "\n", {"FATAL ERROR: No hard disk found"}, false, "", "", "", 0, true, 20},

      // Hostile media.
      {"hostile CD: an archive that is not genuine is named before the disk is touched", false,
       "/dev/hdb", hostile_cd, "ainy\n",
       {"Checking packages...", "FATAL ERROR: Bad package liar-1.0: damaged or not genuine"},
       false, "system forged huge liar", "", "", -1, true},
      {"hostile CD: a forged signature", false, "/dev/hdb",
       cd_with("pkg_forged.kpk", forged("forged")), "ainy\n",
       {"FATAL ERROR: Bad package forged-1.0: damaged or not genuine"}, false, "system forged",
       "", "", -1, true},
      {"hostile CD: a truncated archive ends the discovery", false, "/dev/hdb", truncated_cd,
       "\n", {"FATAL ERROR: Bad package -0.0"}, false, "", "", "", -1, true},
      {"hostile CD: a FIFO named like an archive ends the discovery, without waiting for a "
       "writer", false, "/dev/hdb", fifo_cd, "\n", {"FATAL ERROR: Bad package -0.0"}, false, "",
       "", "", -1, true},
      {"hostile CD: a bundle without members ends the discovery", false, "/dev/hdb",
       empty_bundle_cd, "\n", {"FATAL ERROR: Bad package hollow-1.0"}, false, "", "", "", -1,
       true},
      {"hostile disk: a truncated archive", true, "/dev/sda",
       hd_with("pkg_cut.kpk", whole.substr(0, whole.size() - 150)), "\n",
       {"FATAL ERROR: Bad package -0.0"}, false, "", "", "", 0, true},
      {"hostile disk: file data shorter than declared", true, "/dev/sda",
       hd_with("pkg_liar.kpk", lying_file_data("liar", 0)), "\n",
       {"FATAL ERROR: Bad package liar-1.0: damaged or not genuine"}, false, "", "", "", 0, true},
      {"hostile disk: file data declared 4 GiB long", true, "/dev/sda",
       hd_with("pkg_huge.kpk", lying_file_data("huge", 0xFFFFFFFF)), "\n",
       {"FATAL ERROR: Bad package huge-1.0: damaged or not genuine"}, false, "", "", "", 0, true},
      {"hostile disk: a forged signature", true, "/dev/sda",
       hd_with("pkg_forged.kpk", forged("forged")), "\n",
       {"FATAL ERROR: Bad package forged-1.0: damaged or not genuine"}, false, "", "", "", 0,
       true},
      {"hostile disk: a bundle without members", true, "/dev/sda",
       hd_with("hollow.kpk", empty_bundle("hollow")), "\n",
       {"FATAL ERROR: Bad package hollow-1.0"}, false, "", "", "", 0, true},
      {"hostile disk: a directory named like an archive", true, "/dev/sda",
       hd_with("broken.kpk", kDirectory), "\n", {"FATAL ERROR: Bad package -0.0"}, false, "",
       "", "", 0, true},
  };
}

// The whole image file.
std::string image_bytes(const std::string& path) {
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char block[1 << 16];
  for (ssize_t n; fd >= 0 && (n = read(fd, block, sizeof block)) > 0;) bytes.append(block, size_t(n));
  if (fd >= 0) close(fd);
  return bytes;
}

// Text without escape sequences and without dots: the progress dots may fall anywhere.
std::string without_dots(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '.') out += c;
  return out;
}

// The names of the menu's first drawing (entries " [ ] name " or " [X] name "), in order: up
// to the first name drawn again.
std::string menu_shown(const std::string& console) {
  size_t at = console.find("Welcome to Quovalen Router Software installation");
  std::string names = " ";
  while (at != std::string::npos && (at = console.find("] ", at)) != std::string::npos) {
    at += 2;
    if (at < 4 || (console[at - 3] != ' ' && console[at - 3] != 'X')) continue;
    std::string name = console.substr(at, console.find(' ', at) - at);
    if (names.find(" " + name + " ") != std::string::npos) break;
    names += name + " ";
  }
  return names.size() > 1 ? names.substr(1, names.size() - 2) : "";
}

class LocalFlows : public LoopDiskRoot {
 protected:
  // What debugfs says of the root partition.
  std::string debugfs(const std::string& request) {
    return run(tool("debugfs") + " -R '" + request + "' " + partition(1)).output;
  }
  // A directory of the root partition: name -> "mode uid:gid", from the lines
  // /inode/mode/uid/gid/name/size/ of debugfs's "ls -p".
  std::map<std::string, std::string> listing(const std::string& dir) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(debugfs("ls -p " + dir));
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string field; std::getline(split, field, '/');) fields.push_back(field);
      if (fields.size() < 6 || fields[5] == "." || fields[5] == "..") continue;
      entries[fields[5]] = fields[2] + " " + fields[3] + ":" + fields[4];
    }
    return entries;
  }
};

TEST_F(LocalFlows, WholeInstallationsOntoALoopDisk) {
  signal(SIGPIPE, SIG_IGN);  // as the installer: a child that stops reading fails a write
  for (const Scenario& s : scenarios()) {
    SCOPED_TRACE(s.title);
    TearDown();
    SetUp();
    // 100 cylinders of 16 heads and 63 sectors (49 MiB): one ext3 partition. The disk holds
    // an old partition table.
    ASSERT_TRUE(attach(16, 63, 100)) << "cannot attach a loop device";
    ASSERT_EQ(run("echo 'label: dos\n,8M,83\n,8M,82\n' | " + tool("sfdisk") + " -q " + loop_)
                  .status,
              0);
    std::string before = s.disk_written ? "" : image_bytes(image());

    // The medium: a directory outside the root, bound to /floppy when "mounted".
    MediaSystem system;
    int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::string medium = scratch_ + "/medium";
    ASSERT_EQ(mkdir(medium.c_str(), 0755), 0);
    for (const auto& [name, bytes] : s.medium) {
      std::string path = medium + "/" + name;
      if (bytes == kShortFile) {  // sysfs gives its attributes the size 4096, and a few bytes
        ASSERT_EQ(symlink("/sys/kernel/uevent_seqnum", path.c_str()), 0);
      } else if (bytes == kDirectory) {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
      } else if (bytes == kFifo) {
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
      } else {
        put(path, bytes);
      }
    }
    std::map<std::string, std::string> medium_before = fingerprint(medium, true);
    inotify_add_watch(inotify, (medium + "/mbr").c_str(), IN_OPEN | IN_ACCESS);
    if (!s.device.empty()) system.media[host(s.device)] = medium;
    for (const char* dir : {"/floppy", "/proc"}) mkdir(host(dir).c_str(), 0755);
    put(host("/dev/tty0"), "");  // a virtual console: the standard streams stay
    if (!s.hard_disk) put(host("/TYPE"), "cdrom\n");
    if (!s.meminfo.empty()) put(host("/proc/meminfo"), s.meminfo);

    std::map<std::string, std::string> root_before = fingerprint(root_, false);
    std::string console_path = scratch_ + "/console";
    std::string result = in_mount_namespace([] { return true; }, [&] {
      int out = open(console_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      close(out);
      StdinFromText keys(s.keys);
      FlowTable flows;
      flows.hard_disk = install_from_hard_disk;
      flows.cdrom = install_from_cdrom;
      flows.detect_target_disk = detect_target_disk;
      char name[] = "installer", hdd[] = "-hdd-install";
      char* argv[] = {name, hdd, nullptr};
      entry(system, s.hard_disk ? 2 : 1, argv, flows);
      out_flush();
      fflush(stdout);
      std::string report;
      for (const std::string& call : system.calls) report += call + "\n";
      return report;
    });
    if (result == "SKIP") GTEST_SKIP() << "no mount namespace";
    std::string console = get(console_path);
    EXPECT_FALSE(exists(host("/outside"))) << "written through a link";
    // Nothing outside the target changed but what the entry makes in its own tree: not the
    // medium, not a file of the RAM system.
    std::map<std::string, std::string> root_after = fingerprint(root_, false);
    for (const char* made : {"ram", "sys", "flash/SHOW_LICENSE"}) root_after.erase(made);
    EXPECT_EQ(fingerprint_diff(root_before, root_after), "");
    std::string text;
    for (const std::string& line : console_lines(console)) text += without_dots(line) + "\n";

    // The console, fragment after fragment.
    size_t at = 0;
    for (const std::string& fragment : s.console) {
      size_t found = text.find(without_dots(fragment), at);
      EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << fragment << "\n"
                                          << text;
      if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(text.find("Press ENTER to reboot") != std::string::npos, s.prompt) << text;
    // "Software installed." alone means that everything chosen was installed.
    EXPECT_EQ(text.find(without_dots("Software installed.")) != std::string::npos,
              s.console.back() == "Software installed.")
        << text;
    EXPECT_NE(result.find("reboot 0x1234567"), std::string::npos) << result;
    EXPECT_EQ(menu_shown(console), s.menu);
    if (!s.prompt) {
      EXPECT_EQ(text.find("[y/n]"), std::string::npos) << "a question was asked";
      EXPECT_NE(result.find("sleep 2"), std::string::npos) << "no pause before the reboot";
    }

    // The medium's boot record file.
    bool opened = false;
    char events[4096];
    while (read(inotify, events, sizeof events) > 0) opened = true;
    close(inotify);
    EXPECT_EQ(fingerprint_diff(medium_before, fingerprint(medium, true)), "");
    if (s.mbr_opened >= 0) {
      EXPECT_EQ(opened, s.mbr_opened == 1);
    }
    size_t sleeps = 0;
    for (size_t p = result.find("\nsleep 1\n"); p != std::string::npos;
         p = result.find("\nsleep 1\n", p + 1))
      ++sleeps;
    EXPECT_EQ(sleeps, size_t(s.passes_failed));

    // The disk, with independent tools.
    if (!s.disk_written) {
      run("sync");
      EXPECT_TRUE(image_bytes(image()) == before) << "the disk changed";
      continue;
    }
    EXPECT_EQ(run(tool("e2fsck") + " -fn " + partition(1)).status, 0);
    std::map<std::string, std::string> pdb = listing("/var/pdb");
    std::string names;
    for (const auto& [name, what] : pdb) names += (names.empty() ? "" : " ") + name;
    EXPECT_EQ(names, s.packages);
    std::map<std::string, std::string> opt = listing("/opt");
    std::istringstream installed(s.packages);
    for (std::string name; installed >> name;) {
      EXPECT_EQ(opt[name + ".conf"], "100640 12:34") << name;
      EXPECT_EQ(debugfs("cat /opt/" + name + ".conf"), name + " settings\n");
      EXPECT_EQ(debugfs("cat /var/pdb/" + name + "/files").rfind("opt/" + name + ".conf\n", 0), 0u);
    }
    EXPECT_EQ(opt.size(), pdb.size()) << "files of a package that was not installed";
    std::map<std::string, std::string> top = listing("/");
    if (s.hard_disk) {
      EXPECT_EQ(top.count("CDINSTALL"), 0u);
      EXPECT_EQ(debugfs("cat /rw/autorun.scr"), s.autorun);
      EXPECT_EQ(listing("/rw").count("autorun.scr"), 1u);
    } else {
      EXPECT_EQ(top["CDINSTALL"], "100600 0:0");
    }
  }
}

}  // namespace
