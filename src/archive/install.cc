// One package's installation, its scripts and its removal.
#include "archive/install.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/stream_read.h"
#include "archive/target_tree.h"
#include "integrity/trusted_digest.h"
#include "pkgmgr/database.h"
#include "pkgmgr/package_manager.h"
#include "archive/version_text.h"
#include "system/child_process.h"
#include "system/fd_stream.h"
#include "system/output.h"
#include "system/root.h"

namespace {

constexpr uint32_t kImageStep = 4096;

// A package name becomes a directory name under /flash/var/pdb and /flash/x.
bool valid_package_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The root a recorded or moved-aside path is relative to, and the path below it.
void locate(const std::string& path, std::string* root, std::string* below) {
  if (path.compare(0, 2, "./") == 0) {
    *root = ".";
    *below = path.substr(2);
  } else if (path.compare(0, 7, "/flash/") == 0) {
    *root = root_path("/flash");
    *below = path.substr(7);
  } else {
    *root = root_path("/flash");
    *below = path;
  }
}

// Deletes an entry without following links on the way to it.
void remove_entry(const std::string& root, const std::string& below) {
  EntryPath path;
  if (!split_entry_name(below, &path)) return;
  DirFd dir = open_parent(root, path, false, 0);
  if (dir.ok()) unlinkat(dir.get(), path.leaf.c_str(), 0);
}

// Puts moved-aside files back (newest first), or drops them once the installation stands.
void settle_moved_aside(Package& p, bool restore) {
  for (auto it = p.moved_aside.rbegin(); it != p.moved_aside.rend(); ++it) {
    std::string root, below;
    locate(it->target, &root, &below);
    EntryPath path;
    if (!split_entry_name(below, &path)) continue;
    DirFd dir = open_parent(root, path, false, 0);
    if (!dir.ok()) continue;
    if (restore) {
      // A directory the installation made in the file's place goes first, if it is empty.
      unlinkat(dir.get(), path.leaf.c_str(), AT_REMOVEDIR);
      renameat(dir.get(), it->backup.c_str(), dir.get(), path.leaf.c_str());
    } else
      unlinkat(dir.get(), it->backup.c_str(), 0);
  }
  p.moved_aside.clear();
}

// Whether the package the reader has just walked past is genuine: a valid signature part,
// or, at the next package header or the clean end of the stream, a trusted digest.
bool genuine(PartReader& r) {
  if (r.current_type() == Signature) {
    if (!r.verify_signature_part()) return false;
    r.next_part();
    return true;
  }
  // Any other part here means the digest slot holds no digest of this package.
  if (r.current_type() != PackageHeader && r.current_type() != -1) return false;
  uint8_t digest[20];
  return r.take_package_digest(digest) && is_trusted_digest(digest);
}

}  // namespace

void report_broken(const Package& p) {
  PackageManager::instance().error("installation of %s failed: broken package",
                                   display_label(p).c_str());
}

void report_create_failure(const Package& p, const std::string& what, int error) {
  PackageManager& pm = PackageManager::instance();
  std::string label = display_label(p);
  if (error == ENOSPC)
    pm.error("installation of %s failed: disk is too small", label.c_str());
  else if (error == EIO)
    pm.error("installation of %s failed: disk error", label.c_str());
  else
    pm.error("installation of %s failed: could not create %s: %s", label.c_str(), what.c_str(),
             strerror(error));
}

void show_installing(const Package& p, PartReader& r) {
  std::string text = "installing ";
  if (p.disabled && p.bundle.name.empty()) text += " (disabled) ";
  text += display_label(p);
  PackageManager::instance().show_progress_bar(text, r);
}

bool write_script(Package& p, PartReader& r, uint32_t length, const char* name, bool relative) {
  std::string body;
  if (!read_declared(r, length, &body)) {
    report_broken(p);
    return false;
  }
  std::string path = record_dir(p, relative) + name;
  std::string host = relative ? path : root_path(path);
  int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0755);
  if (fd < 0) {
    report_create_failure(p, name, errno);
    return false;
  }
  std::string text = "#!/bin/bash\n\n. /kest/lib/install/profile.sh\n\n" + body;
  int error = write_all(fd, text.data(), text.size());
  if (error == 0 && fchmod(fd, 0755) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    report_create_failure(p, name, error);
    return false;
  }
  return true;
}

namespace {
void ignore_signal(int) {}
}  // namespace

bool run_script(const Package& p, const char* name) {
  std::string inside = "/var/pdb/" + p.name + "/" + name;
  struct stat st;
  if (stat(root_path("/flash" + inside).c_str(), &st) != 0) return true;
  std::string command = inside + " >/dev/null 2>&1";

  struct sigaction action = {};
  action.sa_handler = ignore_signal;
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, nullptr);

  const char* argv[] = {"bash", "-c", command.c_str(), nullptr};
  ChildOptions options;
  options.root = "/flash";
  options.enter_root = true;
  int status = run_child(options, ChildProgram{"/bin/bash", argv});
  bool ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!ok)
    PackageManager::instance().warning("package %s %s script failed", package_label(p).c_str(),
                                       name);
  return ok;
}

namespace {

// Deletes the recorded files and puts back what they replaced.
void remove_files(Package& p) {
  for (const std::string& path : p.files) {
    std::string root, below;
    locate(path, &root, &below);
    remove_entry(root, below);
  }
  p.files.clear();
  settle_moved_aside(p, true);
}

// Undoes a failed installation. A plain archive writes no record, so a record directory of
// its name belongs to an installed package and stays.
void roll_back(Package& p, bool plain) {
  if (!plain) {
    release_files(p);
    return;
  }
  remove_files(p);
  p.pending = PendingAction::None;
}

}  // namespace

void release_files(Package& p) {
  remove_files(p);
  remove_record(p);
  p.pending = PendingAction::None;
}

bool register_package(Package& p) {
  if (!valid_package_name(p.name)) {
    report_broken(p);
    return false;
  }
  if (!make_dirs(record_dir(p, false))) return false;
  if (!write_record(p, false)) {
    release_files(p);
    return false;
  }
  return true;
}

bool install_package(Package& p, PartReader& r, bool relative) {
  show_installing(p, r);
  if (!valid_package_name(p.name)) {
    report_broken(p);
    return false;
  }
  bool plain = r.is_plain();
  if (!plain && !make_dirs(record_dir(p, relative))) return false;

  if (r.current_type() == Image) {
    while (r.remaining() > 0) {
      show_installing(p, r);
      uint32_t step = r.remaining() < kImageStep ? r.remaining() : kImageStep;
      if (!r.seekg(step, std::ios_base::cur)) break;
    }
    r.next_part();
  }
  if (r.current_type() == InstallScript) {
    if (!p.has_image && !write_script(p, r, r.current_length(), "oninstall", relative)) {
      roll_back(p, plain);
      return false;
    }
    r.next_part();
  }
  if (r.current_type() == UninstallScript) {
    if (!write_script(p, r, r.current_length(), "onuninstall", relative)) {
      roll_back(p, plain);
      return false;
    }
    r.next_part();
  }
  if (r.current_type() == FileData) {
    if (!extract_files(p, r, plain, relative)) {
      roll_back(p, plain);
      return false;
    }
    r.next_part();
  }
  if (!genuine(r)) {
    report_broken(p);
    roll_back(p, plain);
    return false;
  }
  if (!plain && !write_record(p, relative)) {
    roll_back(p, plain);
    return false;
  }
  settle_moved_aside(p, false);
  sync();
  if (!p.disabled) run_script(p, "oninstall");
  if (!p.bundle.name.empty()) return true;
  PackageManager::instance().show_progress("");
  PackageManager::instance().note("installed %s%s", p.disabled ? "(disabled) " : "",
                                  package_label(p).c_str());
  return true;
}
