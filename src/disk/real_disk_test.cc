// The disk steps on real disks: sparse images on loop devices that this test attaches itself
// (testing/loop_disk.h), the medium's sfdisk and the real mke2fs, mounts in a mount namespace
// of the test's own, and the results checked with independent tools (util-linux sfdisk,
// e2fsck, dumpe2fs, debugfs).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <filesystem>
#include <sstream>

#include "disk/boot_code.h"
#include "disk/boot_record.h"
#include "disk/device_path.h"
#include "disk/drive_detection.h"
#include "disk/post_install.h"
#include "disk/prepare_disk.h"
#include "frontend/console.h"
#include "system/linux_system.h"
#include "system/output.h"
#include "system/root.h"
#include "testing/config_store.h"
#include "testing/loop_disk.h"
#include "testing/scratch_root.h"
#include "testing/tree_util.h"

namespace fs = std::filesystem;

namespace {

enum class Old { kBlank, kTable, kInstallation, kGpt };
enum class Keep { kNothing, kBothStores, kOlderStore };

struct Row {
  const char* name;
  uint32_t heads, sectors, cylinders;  // heads 0: the geometry the kernel gives a loop device
  Old old;
  const char* old_table;  // util-linux sfdisk input for Old::kTable
  Keep keep;
  bool script;            // the new system has rc.postinstall
  // Expected
  bool two_partitions, journal;
  const char* partition_script;  // what the installer writes into sfdisk
  const char* refusal;           // prepare_disk's message when the disk is refused
  const char* device = "/dev/sda";  // the disk's name in the installer's /dev
  int sector_size = 512;            // the loop device's logical sectors
};

const char kLogicals[] =
    "label: dos\nstart=2048,size=4096,type=83\nstart=8192,size=40960,type=5\n"
    "start=10240,size=2048,type=83\nstart=14336,size=2048,type=83\n";

const Row kRows[] = {
    {"30 MiB, blank", 16, 63, 61, Old::kBlank, "", Keep::kNothing, true, false, false,
     "0,61,83,*\n", nullptr},
    {"exactly 40 MiB, old table", 16, 32, 160, Old::kTable, "label: dos\n,8M,83\n,8M,82\n",
     Keep::kNothing, false, false, false, "0,160,83,*\n0,0,0\n0,0,0\n0,0,0\n", nullptr},
    {"1023 cylinders, logical partitions", 4, 32, 1023, Old::kTable, kLogicals, Keep::kNothing,
     false, false, true, "0,1023,83,*\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n0,0,0\n", nullptr},
    {"1024 cylinders, both stores", 4, 32, 1024, Old::kInstallation, "", Keep::kBothStores,
     false, true, true, "0,160,83,*\n160,864,83,-\n0,0,0\n0,0,0\n", nullptr},
    {"1024 small cylinders, older store", 2, 32, 1024, Old::kInstallation, "",
     Keep::kOlderStore, true, true, false, "0,320,83,*\n320,704,83,-\n0,0,0\n0,0,0\n", nullptr},
    {"kernel geometry", 0, 0, 5, Old::kBlank, "", Keep::kNothing, false, false, false,
     "0,5,83,*\n", nullptr},
    {"too small for a boot partition", 1, 16, 1024, Old::kTable, "label: dos\n,,83\n",
     Keep::kNothing, false, true, false, "",
     "ERROR: could not create partitions - a boot partition of 1280 cylinders leaves no room "
     "on a disk of 1024 cylinders\n"},
    // Partitions named with a "p" in lilo.conf, fstab, for mke2fs and in the dump.
    {"a name ending in a digit, older store", 4, 32, 1024, Old::kInstallation, "",
     Keep::kOlderStore, false, true, true, "0,160,83,*\n160,864,83,-\n0,0,0\n0,0,0\n", nullptr,
     "/dev/mmcblk0"},
    {"4096-byte sectors", 16, 63, 100, Old::kBlank, "", Keep::kNothing, false, false, true, "",
     "ERROR: could not create partitions - the disk has sectors of 4096 bytes, only 512-byte "
     "sectors are supported\n", "/dev/sda", 4096},
    // A sparse 3 TB disk that util-linux made a GPT disk: the layout ends within 2 TiB, and
    // no tool sees the GPT afterwards.
    {"3 TB, old GPT", 0, 0, 364729, Old::kGpt, "label: gpt\n,1G\n,1G\n", Keep::kNothing, false,
     true, true, "0,2,83,*\n2,267347,83,-\n0,0,0\n0,0,0\n", nullptr},
};

constexpr uint64_t kTableSectors = uint64_t(1) << 32;

// The real disk of loop_disk.h; the new system's programs here are run by a static busybox.
class RealDiskTest : public LoopDiskRoot {
 protected:
  void SetUp() override {
    LoopDiskRoot::SetUp();
    if (IsSkipped()) return;
    if (access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "no static busybox for the target";
  }
  bool attach(const Row& row) {
    if (!LoopDiskRoot::attach(row.heads, row.sectors, row.cylinders)) return false;
    if (row.sector_size != 512 &&
        run("losetup --sector-size " + std::to_string(row.sector_size) + " " + loop_).status != 0)
      return false;
    if (std::string(row.device) != "/dev/sda") {
      for (auto [name, target] : {std::pair<std::string, std::string>{"", loop_},
                                  {"p1", partition(1)}, {"p2", partition(2)}})
        if (symlink(target.c_str(), host(row.device + name).c_str()) != 0) return false;
    }
    return true;
  }
  // mke2fs with few inodes and a small journal, for a disk of terabytes.
  void fast_mke2fs() {
    put(host("/sbin/mke2fs"),
        "#!/bin/sh\necho \"mke2fs $*\" >> " + scratch_ + "/log\nargs=\n"
        "for a; do case \"$a\" in -j) args=\"$args -j -J size=16\" ;;\n"
        "  /dev/sd[a-z][0-9]) args=\"$args " + root_ + "$a\" ;;\n  *) exit 99 ;;\nesac; done\n"
        "exec " + tool("mke2fs") + " -q -T largefile4 $args\n");
  }
};

std::string first_sector(const std::string& path) {
  std::string sector(512, '\0');
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "";
  size_t n = fread(&sector[0], 1, 512, f);
  fclose(f);
  return n == 512 ? sector : "";
}

// The new system's programs: recorders run by a static busybox inside the target. lodr and
// bash note themselves in /rec.log; fsck says on its output whether the root is read-only.
void install_recorders(const std::string& flash, bool script) {
  fs::create_directories(flash + "/bin");
  fs::create_directories(flash + "/sbin");
  fs::copy_file("/bin/busybox", flash + "/bin/sh");
  auto program = [&](const std::string& path, const std::string& body) {
    std::ofstream(flash + path) << "#!/bin/sh\n" << body;
    chmod((flash + path).c_str(), 0755);
  };
  program("/bin/lodr", "echo \"$0 $*\" >> /rec.log\n");
  program("/bin/bash", "echo \"$0 $*\" >> /rec.log\n");
  program("/sbin/fsck", "if (: > /probe) 2>&-; then w=rw; else w=ro; fi\necho \"$0 $* $w\"\n");
  // The script is an absolute link, found only where the new system would find it: without a
  // script it leads to a file that only the host has.
  fs::create_directories(flash + "/etc/rc.d");
  if (script) std::ofstream(flash + "/etc/rc.d/rc.real");
  symlink(script ? "/etc/rc.d/rc.real" : "/etc/passwd", (flash + "/etc/rc.d/rc.postinstall").c_str());
}

TEST_F(RealDiskTest, GeometriesThroughTheRealTools) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    ASSERT_TRUE(attach(row)) << "cannot attach a loop device";
    if (row.cylinders * uint64_t(row.heads ? row.heads * row.sectors : 255 * 63) > kTableSectors)
      fast_mke2fs();
    if (row.old == Old::kTable || row.old == Old::kGpt) {
      ASSERT_EQ(run("echo '" + std::string(row.old_table) + "' | " + tool("sfdisk") + " -q " +
                    loop_).status, 0);
    }
    std::string old_sector = first_sector(loop_);

    std::string report = in_mount_namespace([] { return true; }, [&]() -> std::string {
      LinuxSystem system;
      std::ostringstream out;
      TargetDisk disk;
      OutputCapture capture;
      out << "detected " << detect_target_disk(system, disk) << " " << disk.device << " "
          << disk.cylinders << " " << disk.over_1023_cylinders << disk.over_40_mib << "\n";
      capture.take();
      put(scratch_ + "/log", "");
      disk.device = row.device;  // the listing names the one disk /dev/sda
      if (row.old == Old::kInstallation) {
        if (!prepare_disk(system, disk, false)) return "first installation failed\n" + capture.take();
        if (row.keep == Keep::kBothStores) {
          build_test_store(host("/flash/kest/store"), StoreForm::kOnOldDisk);
          build_test_store(host("/flash/rw/store"), StoreForm::kRestored);
        } else {
          // Behind a link that is absolute in the old root; it comes back as a directory.
          build_test_store(host("/flash/rw/real"), StoreForm::kRestored);
          symlink("/rw/real", host("/flash/rw/store").c_str());
        }
        system.umount(host("/flash/boot").c_str());
        system.umount(host("/flash").c_str());
        put(scratch_ + "/log", "");
        old_sector = first_sector(loop_);
        capture.take();
      }
      bool boot = prepare_boot_record(disk.device);
      std::string sector = first_sector(loop_);
      out << "boot record " << boot << " code " << (sector.substr(0, 184) == std::string(reinterpret_cast<const char*>(kBootCode), 184))
          << " gap " << (sector.substr(184, 262) == std::string(262, '\0')) << " entries kept "
          << (sector.substr(446) == old_sector.substr(446)) << "\n";

      bool can = disk_can_be_prepared(disk);
      out << "can be prepared " << can << " " << (capture.take() == (row.refusal ? row.refusal : ""))
          << " boot code kept " << (first_sector(loop_) == sector) << "\n";
      bool prepared = prepare_disk(system, disk, row.keep != Keep::kNothing);
      std::string console = capture.take();
      std::vector<std::string> warnings;
      out << "prepared " << prepared << "\n";
      for (const auto& line : console_lines(console)) {
        if (line.rfind("WARNING", 0) == 0) warnings.push_back(line);
        else out << "  " << line << "\n";
      }
      std::sort(warnings.begin(), warnings.end());
      std::vector<std::string> wanted_warnings;
      if (row.keep == Keep::kBothStores) wanted_warnings = test_store_warnings("/flash/kest/store");
      out << "warnings as expected " << (warnings == wanted_warnings) << "\n";
      out << "boot code kept " << (first_sector(loop_).substr(0, 446) == sector.substr(0, 446)) << "\n";
      if (!prepared) return out.str();

      out << "lilo.conf\n" << get(host("/flash/etc/lilo.conf")) << "fstab\n"
          << get(host("/flash/etc/fstab")) << ".nofsck " << exists(host("/flash/.nofsck")) << "\n";
      for (const char* dir : {"/rw", "/kest", "/kest/etc", "/var", "/var/pdb"})
        out << dir << " " << fs::is_directory(host("/flash") + dir) << "\n";
      if (row.keep != Keep::kNothing) {
        std::string kept = row.keep == Keep::kBothStores ? "/flash/kest/store" : "/flash/rw/store";
        build_test_store(scratch_ + "/expected", StoreForm::kRestored);
        out << "store diff [" << fingerprint_diff(fingerprint(scratch_ + "/expected", true),
                                                  fingerprint(host(kept), true))
            << "] older store left " << exists(host("/flash/rw/store")) << " a directory "
            << fs::is_directory(fs::symlink_status(host(kept))) << "\n";
      }
      install_recorders(host("/flash"), row.script);
      put(host("/dev/tty9"), "");
      post_install(system, disk);
      out << "checked: " << get(host("/dev/tty9"));
      out << "mounted after " << (get("/proc/self/mountinfo").find(host("/flash")) != std::string::npos) << "\n";
      return out.str();
    });
    if (report == "SKIP") GTEST_SKIP() << "no mount namespace";

    // What the installer said and wrote, seen from inside.
    bool two = row.two_partitions;
    uint32_t heads = row.heads ? row.heads : 255, sectors = row.heads ? row.sectors : 63;
    const std::string device = row.device;
    auto part = [&](unsigned n) { return partition_path(device, n); };
    uint64_t cylinder = uint64_t(heads) * sectors;
    uint64_t usable = std::min<uint64_t>(row.cylinders, kTableSectors / cylinder);
    std::ostringstream want;
    want << "detected 1 /dev/sda " << row.cylinders << " " << two << row.journal << "\n"
         << "boot record 1 code 1 gap 1 entries kept 1\n"
         << "can be prepared " << !row.refusal << " 1 boot code kept 1\n";
    if (row.refusal) {
      want << "prepared 0\n  " << std::string(row.refusal, strlen(row.refusal) - 1) << "\n"
           << "warnings as expected 1\nboot code kept 1\n";
      EXPECT_EQ(report, want.str());
      EXPECT_EQ(get(scratch_ + "/log"), "");  // no tool ran
      continue;
    }
    want << "prepared 1\n";
    if (usable < row.cylinders) want << "  NOTE: only the first 2 TiB of the disk are used\n";
    if (row.keep != Keep::kNothing) want << "  Reading old configuration...\n";
    want << "  Creating partition...\n  Formatting disk...\n";
    if (row.keep != Keep::kNothing) want << "  Writing back old configuration...\n";
    const char* root_type = row.journal ? "ext3" : "ext2";
    want << "warnings as expected 1\nboot code kept 1\nlilo.conf\n"
         << "boot=" << part(1) << "\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
         << "image=/boot/vmlinuz\n  label=System\n  root=" << part(two ? 2 : 1)
         << "\n  read-only\nfstab\n";
    if (two) want << part(2) << "  /     " << root_type << " defaults 1 1\n"
                  << part(1) << "  /boot ext2 defaults 1 2\n";
    else want << part(1) << "  /     " << root_type << " defaults 1 1\n";
    want << "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n"
         << ".nofsck " << row.journal << "\n/rw 1\n/kest 1\n/kest/etc 1\n/var 1\n/var/pdb 1\n";
    if (row.keep != Keep::kNothing)
      want << "store diff [] older store left " << (row.keep == Keep::kBothStores ? 0 : 1)
           << " a directory 1\n";
    want << "checked: " << (two ? "" : "/sbin/fsck -d -v ro\n") << "mounted after 0\n";
    EXPECT_EQ(report, want.str());

    std::string log = get(scratch_ + "/log");
    std::string j = row.journal ? "-j " : "";
    EXPECT_EQ(log, "sfdisk -d -uC " + device + "\nsfdisk -q -uC " + device + "\n" +
                       row.partition_script + "sfdisk -d -uC " + device + "\n" +
                       (two ? "mke2fs " + part(1) + "\nmke2fs " + j + part(2) + "\n"
                            : "mke2fs " + j + part(1) + "\n"));

    // The partition table and the file systems, seen by independent tools.
    uint64_t boot = two ? (cylinder * 512 + 10485759) / (cylinder * 512) : usable;
    std::ostringstream table;
    table << loop_ << "p1 : start=" << std::setw(12) << sectors << ", size=" << std::setw(12)
          << boot * cylinder - sectors << ", type=83, bootable\n";
    if (two)
      table << loop_ << "p2 : start=" << std::setw(12) << boot * cylinder << ", size="
            << std::setw(12) << (usable - boot) * cylinder << ", type=83\n";
    std::string dump = run(tool("sfdisk") + " -d " + loop_).output;
    EXPECT_EQ(dump.substr(dump.find("\n\n") + 2), table.str());
    // No program may take the disk for anything but a DOS-labelled one (an old GPT included).
    EXPECT_EQ(run(tool("blkid") + " -p -s PTTYPE -o value " + loop_).output, "dos\n");
    EXPECT_NE(run(tool("fdisk") + " -l " + loop_).output.find("Disklabel type: dos"),
              std::string::npos);
    EXPECT_EQ(run(tool("wipefs") + " --noheadings --output TYPE " + loop_).output, "dos\n");
    for (unsigned n = 1; n <= (two ? 2u : 1u); ++n) {
      EXPECT_EQ(run(tool("e2fsck") + " -fn " + partition(n)).status, 0) << partition(n);
      bool journal = run(tool("dumpe2fs") + " -h " + partition(n)).output.find("has_journal") !=
                     std::string::npos;
      EXPECT_EQ(journal, n == (two ? 2u : 1u) && row.journal) << partition(n);
    }
    EXPECT_EQ(run(tool("debugfs") + " -R 'cat /rec.log' " + partition(two ? 2 : 1)).output,
              row.script ? "/bin/bash -c /etc/rc.d/rc.postinstall\n" : "/bin/lodr lodr\n");
  }
}

}  // namespace
