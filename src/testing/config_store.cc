#include "testing/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

constexpr time_t kEpoch = 1600000000;

void set_status(const std::string& path, unsigned mode, uid_t owner, gid_t group, int tick) {
  // Owner first: chown clears set-uid and set-gid.
  if (lchown(path.c_str(), owner, group) != 0 || chmod(path.c_str(), mode) != 0) abort();
  struct timespec times[2] = {{kEpoch + tick, 250}, {kEpoch + tick + 1000, 500}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) abort();
}

void file(const std::string& path, size_t size, unsigned mode, uid_t owner, gid_t group,
          int tick) {
  std::string content;
  for (size_t i = 0; i < size; ++i) content.push_back(char('a' + (i * 31 + size) % 26));
  std::ofstream(path, std::ios::binary) << content;
  set_status(path, mode, owner, group, tick);
}

void link(const char* target, const std::string& path) {
  if (symlink(target, path.c_str()) != 0) abort();
}

}  // namespace

void build_test_store(const std::string& dir, StoreForm form,
                      const std::string& store_in_old_root) {
  std::filesystem::create_directories(dir + "/sub/deep");
  file(dir + "/empty", 0, 0600, 0, 0, 1);
  file(dir + "/small", 100, 0644, 1000, 100, 2);
  file(dir + "/exact", 16000, 0640, 1000, 100, 3);
  file(dir + "/over", 16001, 0600, 0, 0, 4);
  file(dir + "/big", 50000, 0644, 2000, 2000, 5);
  file(dir + "/sub/setgid", 3000, 02755, 1002, 1003, 6);
  file(dir + "/sub/setuid", 10, 04711, 1004, 1004, 7);
  file(dir + "/sub/deep/leaf", 1, 0444, 0, 0, 8);
  if (form == StoreForm::kOnOldDisk) {
    link("sub/setgid", dir + "/link-file");
    link((store_in_old_root + "/small").c_str(), dir + "/abs-link");
    link("sub/deep", dir + "/link-dir");
    link("/nowhere", dir + "/dangling");
    link("..", dir + "/sub/up");
    link("cycle-b", dir + "/cycle-a");
    link("cycle-a", dir + "/cycle-b");
    if (mkfifo((dir + "/fifo").c_str(), 0644) != 0) abort();
  } else {
    file(dir + "/link-file", 3000, 02755, 1002, 1003, 6);
    file(dir + "/abs-link", 100, 0644, 1000, 100, 2);
    std::filesystem::create_directories(dir + "/link-dir");
    file(dir + "/link-dir/leaf", 1, 0444, 0, 0, 8);
    set_status(dir + "/link-dir", 0700, 1005, 1006, 21);
  }
  // Directories last, the deepest first: writing into one changes its times.
  set_status(dir + "/sub/deep", 0700, 1005, 1006, 21);
  set_status(dir + "/sub", 0750, 1001, 1001, 20);
  set_status(dir, 02775, 1000, 100, 22);
}

std::vector<std::string> test_store_warnings(const std::string& store) {
  std::vector<std::string> lines;
  for (const char* name : {"dangling", "sub/up", "cycle-a", "cycle-b"})
    lines.push_back("WARNING: couldn't keep " + store + "/" + name + " - link cannot be followed");
  std::sort(lines.begin(), lines.end());
  return lines;
}
