#include "disk/drive_detection.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "disk/sfdisk_runner.h"
#include "frontend/console.h"
#include "system/child_slot.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

namespace {

constexpr size_t kMaxLine = 127;
constexpr int kScanAttempts = 20;
constexpr uint64_t kJournalThreshold = 41943040;  // 40 MiB

TargetDisk* drive_table() {
  static TargetDisk* table = new TargetDisk[kMaxDrives];  // lives until the reboot
  return table;
}

// Reads one line without its newline. False at the end of the stream. A line longer than
// kMaxLine is read whole and marked by *too_long, so that its tail is never taken for a line
// of its own.
bool read_line(FILE* stream, std::string& line, bool* too_long) {
  line.clear();
  *too_long = false;
  int c;
  while ((c = getc(stream)) != EOF) {
    if (c == '\n') return true;
    if (line.size() < kMaxLine) line.push_back(char(c));
    else *too_long = true;
  }
  return !line.empty() || *too_long;
}

}  // namespace

bool parse_geometry_line(const std::string& line, TargetDisk& disk) {
  if (line.size() > kMaxLine || line.compare(0, 5, "/dev/") != 0) return false;
  char device[kMaxLine + 1];
  unsigned cylinders, heads, sectors;
  if (sscanf(line.c_str(), "%s %u %*s %u %*s %u", device, &cylinders, &heads, &sectors) != 4)
    return false;
  size_t length = strlen(device);
  if (length > 0 && device[length - 1] == ':') device[--length] = '\0';
  if (length > kMaxDevicePath) return false;
  disk.device = device;
  disk.cylinders = cylinders;
  disk.cylinder_size = uint32_t(heads * sectors * 512u);
  disk.over_1023_cylinders = cylinders > 1023;
  disk.over_40_mib = uint64_t(cylinders) * disk.cylinder_size > kJournalThreshold;
  return true;
}

const TargetDisk* scan_drives(System& system) {
  TargetDisk* table = drive_table();
  for (size_t i = 0; i < kMaxDrives; ++i) table[i] = TargetDisk();
  FILE* listing = run_sfdisk_reading({"-g"});
  if (!listing) return nullptr;
  size_t found = 0;
  std::string line;
  bool too_long;
  while (found < kMaxDrives && read_line(listing, line, &too_long)) {
    if (!too_long && parse_geometry_line(line, table[found])) ++found;
  }
  finish_child(listing);
  return found ? table : nullptr;
}

std::string port_label(const std::string& device) {
  static const struct {
    const char* device;
    const char* label;
  } kLabels[] = {
      {"/dev/hda", "IDE Primary master (disk C)"}, {"/dev/hdb", "IDE Primary slave (disk D)"},
      {"/dev/hdc", "IDE Secondary master (disk E)"}, {"/dev/hdd", "IDE Secondary slave (disk F)"},
      {"/dev/sda", "SATA 1"}, {"/dev/sdb", "SATA 2"}, {"/dev/sdc", "SATA 3"},
      {"/dev/sdd", "SATA 4"}, {"/dev/sde", "SATA 5"}, {"/dev/sdf", "SATA 6"},
      {"/dev/sdg", "SATA 7"}, {"/dev/sdh", "SATA 8"},
  };
  for (const auto& entry : kLabels)
    if (device == entry.device) return entry.label;
  return device;
}

bool detect_target_disk(System& system, TargetDisk& disk) {
  out_printf("\n");
  begin_progress("Looking for harddrives...");
  const TargetDisk* drives = nullptr;
  for (int attempt = 0; attempt < kScanAttempts && !drives; ++attempt) {
    drives = scan_drives(system);
    // The progress dots' alarm cuts a sleep short: sleep out the rest once more.
    if (!drives) {
      unsigned left = system.sleep(1);
      if (left > 0) system.sleep(left);
    }
  }
  end_progress();
  if (!drives) {
    out_printf("\nFATAL ERROR: no harddrives found\n");
    return false;
  }
  disk = drives[0];
  out_printf("\nFound harddrive as %s\n", port_label(disk.device).c_str());
  system.umount(root_path("/flash/boot").c_str());
  system.umount(root_path("/flash").c_str());
  return true;
}
