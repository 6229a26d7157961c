// kpk install and kpk installed: the installer's own installation child run against a
// directory tree, so that a target can be prepared offline.
#include <sys/stat.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/version_text.h"
#include "commands.h"
#include "pkgmgr/database.h"
#include "pkgmgr/install_child.h"
#include "pkgmgr/package_manager.h"
#include "system/child_process.h"
#include "system/child_slot.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace kpk {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// The installer works on /flash (the target) and /ram/pdb (schedule requests). A staging
// directory maps /flash onto the target directory and keeps /ram to itself.
class Staging {
 public:
  bool open(const std::string& target, std::string* error) {
    char real[PATH_MAX];
    if (!realpath(target.c_str(), real)) {
      *error = target + ": " + strerror(errno);
      return false;
    }
    struct stat st;
    if (stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = target + ": not a directory";
      return false;
    }
    char pattern[] = "/tmp/kpk-root-XXXXXX";
    if (!mkdtemp(pattern)) {
      *error = std::string("cannot create a staging directory: ") + strerror(errno);
      return false;
    }
    dir_ = pattern;
    if (symlink(real, (dir_ + "/flash").c_str()) != 0 || mkdir((dir_ + "/ram").c_str(), 0755) != 0) {
      *error = std::string("cannot prepare the staging directory: ") + strerror(errno);
      return false;
    }
    set_root_prefix(dir_);
    return true;
  }
  ~Staging() {
    if (dir_.empty()) return;
    set_root_prefix("");
    nftw((dir_ + "/ram").c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    unlink((dir_ + "/flash").c_str());
    rmdir(dir_.c_str());
  }

 private:
  std::string dir_;
};

bool parse_root(int* argc, char*** argv, std::string* root, bool* quiet) {
  std::vector<char*> rest;
  for (int i = 0; i < *argc; ++i) {
    std::string a = (*argv)[i];
    if (a == "--root" && i + 1 < *argc) {
      *root = (*argv)[++i];
    } else if (a.compare(0, 7, "--root=") == 0) {
      *root = a.substr(7);
    } else if (a == "--quiet" && quiet) {
      *quiet = true;
    } else {
      rest.push_back((*argv)[i]);
    }
  }
  for (size_t i = 0; i < rest.size(); ++i) (*argv)[i] = rest[i];
  *argc = int(rest.size());
  return !root->empty();
}

// Feeds one archive to a new installation child, as the installer's flows do: blocks of
// 4096 bytes, stopping at the first short write. True when the child installed it.
bool install_one(const std::string& path, bool quiet, std::string* error) {
  int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  InstallChildRequest request;
  request.quiet = quiet;
  request.archive_name = path == "-" ? "standard input" : path;
  request.exit_with_result = true;
  struct stat st;
  if (fd != 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // A file is read by the child itself: nothing to copy through a pipe.
    pid_t pid = start_install_child_on(request, fd);
    close(fd);
    if (pid < 0) {
      *error = "could not start the installation child";
      return false;
    }
    int status = wait_for_child(pid);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  FILE* child = start_install_child(request);
  if (!child) {
    if (fd != 0) close(fd);
    *error = "could not start the installation child";
    return false;
  }
  // Read 64 KB at a time, handed over in blocks of 4096 bytes.
  static char buffer[65536];
  bool stopped = false;
  while (!stopped) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at < n && !stopped; at += 4096) {
      size_t block = size_t(std::min<ssize_t>(4096, n - at));
      stopped = fwrite(buffer + at, 1, block, child) != block;
    }
  }
  if (fd != 0) close(fd);
  int status = finish_child(child);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int cmd_install(int argc, char** argv) {
  std::string root;
  bool quiet = false;
  if (!parse_root(&argc, &argv, &root, &quiet) || argc == 0)
    return fail("usage: kpk install --root DIR [--quiet] FILE...  (FILE - reads standard input)");
  signal(SIGPIPE, SIG_IGN);
  Staging staging;
  std::string error;
  if (!staging.open(root, &error)) return fail(error);
  // A new target gets its (empty) database directory, as the installer's disk layout does.
  make_dirs("/flash/var/pdb");
  int failed = 0;
  for (int i = 0; i < argc; ++i) {
    if (!install_one(argv[i], quiet, &error)) {
      if (!error.empty()) fail(error);
      error.clear();
      ++failed;
    }
  }
  return failed ? 1 : 0;
}

int cmd_installed(int argc, char** argv) {
  std::string root;
  if (!parse_root(&argc, &argv, &root, nullptr) || argc != 0)
    return fail("usage: kpk installed --root DIR");
  Staging staging;
  std::string error;
  if (!staging.open(root, &error)) return fail(error);
  struct stat st;
  if (stat(root_path("/flash/var/pdb").c_str(), &st) != 0) return 0;  // nothing installed
  PackageManager pm;
  open_repository(pm, true);
  for (const auto& p : pm.installed()) {
    std::string state = p->disabled ? (p->user_forced ? "disabled (user)" : "disabled (auto)")
                                    : (p->user_forced ? "enabled (user)" : "enabled");
    if (p->pending == PendingAction::Uninstall) state += ", broken record";
    std::string files = p->is_bundle ? "bundle" : std::to_string(p->files.size()) + " files";
    printf("%-16s %-12s %-16s %-16s %s\n", p->name.c_str(), version_text(p->version), state.c_str(),
           p->bundle.name.empty() ? "-" : p->bundle.name.c_str(), files.c_str());
  }
  return 0;
}

}  // namespace kpk
