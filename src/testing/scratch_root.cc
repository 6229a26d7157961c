#include "testing/scratch_root.h"

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "system/output.h"
#include "system/root.h"

namespace fs = std::filesystem;

void ScratchRoot::SetUp() {
  saved_prefix_ = root_prefix();
  saved_cwd_ = fs::current_path().string();
  char pattern[] = "/tmp/kest-scratch-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  scratch_ = pattern;
  root_ = scratch_ + "/root";
  fs::create_directories(root_);
  set_root_prefix(root_);
}

void ScratchRoot::TearDown() {
  set_root_prefix(saved_prefix_);
  std::error_code ignored;
  fs::current_path(saved_cwd_, ignored);
  if (scratch_.empty()) return;
  for (auto& entry : fs::recursive_directory_iterator(scratch_, ignored))
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(scratch_, ignored);
}

void ScratchRoot::put(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ScratchRoot::get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void ScratchRoot::make_dir(const std::string& path) { fs::create_directories(path); }

bool ScratchRoot::exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ScratchRoot::listing(const std::string& dir) {
  std::set<std::string> names;
  for (auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  std::string text;
  for (const auto& name : names) text += name + " ";
  return text;
}

std::string in_mount_namespace(const std::function<bool()>& setup,
                               const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "pipe failed";
  out_flush();
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    close(pipe_fds[0]);
    std::string text = "SKIP";
    if (unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && setup())
      text = body();
    (void)!write(pipe_fds[1], text.data(), text.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
  close(pipe_fds[0]);
  waitpid(pid, nullptr, 0);
  return text;
}
