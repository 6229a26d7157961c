#include "scenario_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

void remove_tree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") remove_tree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace

std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = getenv("PATH");
  std::stringstream dirs(path && *path ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

CommandResult run_command(const std::vector<std::string>& argv, const std::string& input,
                          int timeout_ms) {
  CommandResult result;
  std::string program = find_program(argv.at(0));
  if (program.empty()) return result;
  int in[2], out[2];
  if (pipe(in) != 0) return result;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return result;
  }
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    for (int fd = 3; fd < 64; ++fd) close(fd);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return result;
  }
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t ignored = write(in[1], input.data(), input.size());
    (void)ignored;
  }
  close(in[1]);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool timed_out = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, size_t(n));
  }
  close(out[0]);
  if (timed_out) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = timed_out ? -1 : status;
  return result;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kest-scenario-XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  if (!path_.empty()) remove_tree(path_);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
