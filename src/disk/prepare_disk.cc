#include "disk/prepare_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>

#include <string>
#include <vector>

#include "disk/device_path.h"
#include "disk/old_config.h"
#include "disk/partition_layout.h"
#include "disk/sfdisk_runner.h"
#include "disk/target_layout.h"
#include "frontend/console.h"
#include "frontend/program_runner.h"
#include "system/child_slot.h"
#include "system/output.h"
#include "system/root.h"

namespace {

constexpr size_t kMaxDumpLine = 255;

// The lines of the tool's dump of the disk's partition table (each cut at kMaxDumpLine
// characters, the rest of a longer line dropped). False when the tool cannot be started.
bool dump_partition_table(const TargetDisk& disk, std::vector<std::string>& lines) {
  FILE* dump = run_sfdisk_reading({"-d", "-uC", disk.device.c_str()});
  if (!dump) return false;
  std::string line;
  bool any = false;
  int c;
  while ((c = getc(dump)) != EOF) {
    any = true;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
      any = false;
    } else if (line.size() < kMaxDumpLine) {
      line.push_back(char(c));
    }
  }
  if (any) lines.push_back(line);
  finish_child(dump);
  return true;
}

unsigned count_entries(const std::vector<std::string>& lines) {
  unsigned count = 0;
  for (const auto& line : lines)
    if (line.compare(0, 5, "/dev/") == 0) ++count;
  return count;
}

bool create_partitions(const TargetDisk& disk) {
  begin_progress("Creating partition...");
  std::vector<std::string> old_table;
  bool ok = dump_partition_table(disk, old_table);
  if (ok) {
    FILE* script = run_sfdisk_writing({"-q", "-uC", disk.device.c_str(), ">null"});
    if (script) {
      fputs(partition_script(disk, count_entries(old_table)).c_str(), script);
      int status = finish_child(script);
      // The tool may refuse the script, or the kernel may keep the old partitions (the tool
      // then fails too): formatting the old partitions would end in a broken installation
      // that looks like a good one. Only the new layout, read back, counts.
      std::vector<std::string> new_table;
      ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           dump_partition_table(disk, new_table) && table_holds_layout(disk, new_table);
    } else {
      ok = false;
    }
  }
  end_progress();
  if (!ok) out_printf("ERROR: could not create partitions\n");
  return ok;
}

// mke2fs, with "-j" for a journal, on partition number of the disk.
bool make_file_system(const TargetDisk& disk, unsigned number, bool journal) {
  std::string partition = partition_path(disk.device, number);
  int status = journal ? run_in_root(nullptr, "/sbin/mke2fs", {"-j", partition.c_str()})
                       : run_in_root(nullptr, "/sbin/mke2fs", {partition.c_str()});
  return status == 0;
}

bool format_partitions(const TargetDisk& disk) {
  begin_progress("Formatting disk...");
  bool ok;
  if (disk.over_1023_cylinders) {
    ok = make_file_system(disk, 1, false) && make_file_system(disk, 2, disk.over_40_mib);
  } else {
    ok = make_file_system(disk, 1, disk.over_40_mib);
  }
  end_progress();
  if (!ok) out_printf("ERROR: could not format partitions\n");
  return ok;
}

// Whether the device's partitions can be written into lilo.conf and fstab as one word: no
// blank, control character or comment sign in the name.
bool nameable(const std::string& device) {
  for (unsigned char c : device)
    if (c <= ' ' || c >= 0x7f || c == '#') return false;
  return true;
}

// The logical sector size of the device as the kernel reports it; 0 when it cannot be told
// (not a block device, or not there).
uint32_t logical_sector_size(const std::string& device) {
  int fd = open(root_path(device).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  int size = 0;
  bool known = fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKSSZGET, &size) == 0;
  close(fd);
  return known && size > 0 ? uint32_t(size) : 0;
}

}  // namespace

bool disk_can_be_prepared(const TargetDisk& disk) {
  if (!valid_device_path(disk.device) || !nameable(disk.device)) {
    out_printf("ERROR: could not create partitions\n");
    return false;
  }
  if (!layout_fits(disk)) return false;
  uint32_t sector = logical_sector_size(disk.device);
  if (sector != 0 && sector != 512) {
    out_printf("ERROR: could not create partitions - the disk has sectors of %" PRIu32
               " bytes, only 512-byte sectors are supported\n",
               sector);
    return false;
  }
  return true;
}

bool prepare_disk(System& system, TargetDisk& disk, bool keep_old_config) {
  if (!disk_can_be_prepared(disk)) return false;
  if (layout_cylinders(disk) < disk.cylinders)
    out_printf("NOTE: only the first 2 TiB of the disk are used\n");

  std::unique_ptr<Snapshot> snapshot;
  if (keep_old_config) snapshot = snapshot_old_config(system, disk);
  if (!create_partitions(disk)) return false;
  if (!format_partitions(disk)) return false;
  if (!lay_out_system(system, disk)) return false;
  if (snapshot) restore_old_config(std::move(snapshot));
  return true;
}
