#include "testing/loop_disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "frontend/console.h"

namespace fs = std::filesystem;

namespace {

// A case of the wrappers: an argument naming a device of the root is mapped into it, anything
// else refused.
#define MAP_DEVICE                                                          \
  "  /dev/*..*) echo \"refused: $a\" >&2; exit 99 ;;\n"                     \
  "  /dev/*) [ -e \"ROOT$a\" ] || { echo \"refused: $a\" >&2; exit 99; }\n" \
  "          args=\"$args ROOT$a\" ;;\n"                                     \
  "  *) echo \"refused: $a\" >&2; exit 99 ;;\n  esac\n"

}  // namespace

LoopDiskRoot::Command LoopDiskRoot::run(const std::string& command) {
  Command result{-1, ""};
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  result.status = pclose(pipe);
  return result;
}

std::string LoopDiskRoot::tool(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
    if (access((std::string(dir) + name).c_str(), X_OK) == 0) return std::string(dir) + name;
  return "";
}

void LoopDiskRoot::SetUp() {
  ScratchRoot::SetUp();
  if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
  for (const char* name : {"losetup", "sfdisk", "mke2fs", "e2fsck", "dumpe2fs", "debugfs"})
    if (tool(name).empty()) GTEST_SKIP() << name << " is not installed";
  sfdisk_ = std::string(KEST_BINARY_DIR) + "/bin/sfdisk";
  if (access(sfdisk_.c_str(), X_OK) != 0) GTEST_SKIP() << "the medium's sfdisk is not built";
  strcpy(tool_output_path, "/dev/tty9");
}

void LoopDiskRoot::TearDown() {
  if (!loop_.empty()) run("losetup -d " + loop_);
  loop_.clear();
  ScratchRoot::TearDown();
}

bool LoopDiskRoot::attach(uint32_t heads, uint32_t sectors, uint32_t cylinders) {
  bool kernel = heads == 0;
  uint64_t h = kernel ? 255 : heads, s = kernel ? 63 : sectors;
  uint64_t size = cylinders * h * s * 512 + (kernel ? 1 << 20 : 0);
  FILE* f = fopen(image().c_str(), "w");
  if (!f) return false;
  fclose(f);
  if (truncate(image().c_str(), off_t(size)) != 0) return false;
  std::string device = run("losetup -P --show -f " + image()).output;
  while (!device.empty() && device.back() == '\n') device.pop_back();
  // Nothing but a loop device this call attached is ever linked into the root.
  if (device.compare(0, 9, "/dev/loop") != 0 || device.size() == 9 ||
      device.find_first_not_of("0123456789", 9) != std::string::npos)
    return false;
  loop_ = device;
  fs::create_directories(host("/dev"));
  fs::create_directories(host("/sbin"));
  fs::create_directories(host("/flash"));
  for (auto [name, target] : {std::pair<std::string, std::string>{"/dev/sda", loop_},
                              {"/dev/sda1", loop_ + "p1"}, {"/dev/sda2", loop_ + "p2"},
                              {"/dev/null", "/dev/null"}})
    if (symlink(target.c_str(), host(name).c_str()) != 0) return false;
  put(host("/dev/tty9"), "");
  put(scratch_ + "/geometry",
      kernel ? "" : "-H " + std::to_string(heads) + " -S " + std::to_string(sectors));
  wrapper("/sbin/sfdisk",
          "geometry=$(cat SCRATCH/geometry)\nmode=w\nargs=\nfor a; do case \"$a\" in\n"
          "  -g|-d) mode=${a#-}; args=\"$args $a\" ;;\n  -q|-uC) args=\"$args $a\" ;;\n"
          MAP_DEVICE
          "done\necho \"sfdisk $*\" >> SCRATCH/log\n"
          "# The listing of every disk is the listing of this root's one disk.\n"
          "case \"$args\" in *ROOT/dev/*) ;; *) args=\"$args ROOT/dev/sda\" ;; esac\n"
          "if [ $mode = w ]; then\n  cat > SCRATCH/script; cat SCRATCH/script >> SCRATCH/log\n"
          "  exec SFDISK $geometry $args < SCRATCH/script\nfi\n"
          "SFDISK $geometry $args > SCRATCH/out; status=$?\n"
          "sed 's|^ROOT||' SCRATCH/out; exit $status\n");
  wrapper("/sbin/mke2fs",
          "args=\nfor a; do case \"$a\" in\n  -j) args=\"$args $a\" ;;\n" MAP_DEVICE
          "done\necho \"mke2fs $*\" >> SCRATCH/log\nexec MKE2FS -q $args\n");
  return true;
}

void LoopDiskRoot::wrapper(const std::string& path, std::string body) {
  for (auto [from, to] : {std::pair<std::string, std::string>{"SCRATCH", scratch_},
                          {"ROOT", root_}, {"SFDISK", sfdisk_}, {"MKE2FS", tool("mke2fs")}})
    for (size_t at; (at = body.find(from)) != std::string::npos;)
      body.replace(at, from.size(), to);
  put(host(path), "#!/bin/sh\n" + body);
  chmod(host(path).c_str(), 0755);
}
