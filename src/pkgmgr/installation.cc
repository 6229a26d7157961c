#include "pkgmgr/installation.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/stream_read.h"
#include "archive/version_text.h"
#include "integrity/trusted_digest.h"
#include "pkgmgr/database.h"
#include "pkgmgr/journal.h"
#include "pkgmgr/package_manager.h"
#include "system/child_process.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

constexpr uint32_t kImageStep = 4096;
constexpr mode_t kParentMode = 0770;
const char kScriptPreamble[] = "#!/bin/bash\n\n. /kest/lib/install/profile.sh\n\n";
const char kStagedScript[] = ".kpk-staged-";

void remove_recorded_files(Package& p) {
  for (const RecordedPath& entry : removal_order(p.files)) remove_entry(entry);
  p.files.clear();
}

void ignore_signal(int) {}

}  // namespace

// Whether the package the reader has just walked past is genuine: a valid signature part,
// or, at the next package header or the clean end of the stream, a trusted digest.
bool walked_package_is_genuine(PartReader& r) {
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

bool member_proves_genuine(PartReader& r) {
  while (r.current_type() != PackageHeader && r.current_type() != Signature &&
         r.current_type() != -1)
    r.next_part();
  return walked_package_is_genuine(r);
}

bool valid_package_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

Installation::Installation(PackageManager& pm, Package& p, PartReader& r, const Target& target)
    : own_journal_(std::make_unique<Journal>(pm, !r.is_plain() && !target.relative)),
      journal_(*own_journal_),
      pm_(pm),
      p_(p),
      r_(r),
      target_(target),
      plain_(r.is_plain()) {}

Installation::Installation(PackageManager& pm, Package& p, PartReader& r, const Target& target,
                           Journal& journal)
    : journal_(journal), pm_(pm), p_(p), r_(r), target_(target), plain_(r.is_plain()) {}

Installation::~Installation() {
  if (open_) roll_back();
}

bool Installation::run() {
  progress();
  open_ = true;
  if (!valid_package_name(p_.name)) {
    broken();
    // Nothing of its own to remove: the record directory of such a name would be elsewhere.
    journal_.roll_back();
    open_ = false;
    return false;
  }
  if (!plain_ && (!journal_.making_record(p_.name) || !make_dirs(record_dir(p_)))) {
    create_failed("meta", errno);
    journal_.roll_back();
    open_ = false;
    return false;
  }

  if (r_.current_type() == Image) skip_image();
  if (r_.current_type() == InstallScript) {
    if (!p_.has_image && !write_script("oninstall")) {
      roll_back();
      return false;
    }
    r_.next_part();
  }
  if (r_.current_type() == UninstallScript) {
    if (!write_script("onuninstall")) {
      roll_back();
      return false;
    }
    r_.next_part();
  }
  if (r_.current_type() == FileData) {
    if (!extract()) {
      roll_back();
      return false;
    }
    r_.next_part();
  }
  if (!walked_package_is_genuine(r_)) {
    broken();
    roll_back();
    return false;
  }
  if (!place_scripts()) {
    roll_back();
    return false;
  }
  if (!plain_ && !write_record(p_, pm_)) {
    roll_back();
    return false;
  }
  // The new files are on the disk before the backups of what they replace are deleted.
  sync();
  commit();
  if (!p_.disabled) run_script(pm_, p_, "oninstall");
  if (!p_.bundle.name.empty()) return true;
  pm_.show_progress("");
  pm_.note("installed %s%s", p_.disabled ? "(disabled) " : "", package_label(p_).c_str());
  return true;
}

void Installation::skip_image() {
  while (r_.remaining() > 0) {
    progress();
    uint32_t step = r_.remaining() < kImageStep ? r_.remaining() : kImageStep;
    if (!r_.seekg(step, std::ios_base::cur)) break;
  }
  r_.next_part();
}

bool Installation::write_script(const char* name) {
  std::string body;
  if (!read_declared(r_, r_.current_length(), &body)) {
    broken();
    return false;
  }
  const std::string file = plain_ ? kStagedScript + std::string(name) : name;
  int dir = open_record_dir(p_);
  int fd = dir < 0 ? -1
                   : openat(dir, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                            0755);
  if (dir >= 0) {
    int error = errno;
    close(dir);
    errno = error;
  }
  if (fd < 0) {
    create_failed(name, errno);
    return false;
  }
  if (plain_) staged_scripts_.push_back(name);
  std::string text = kScriptPreamble + body;
  int error = write_all(fd, text.data(), text.size());
  if (error == 0 && fchmod(fd, 0755) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    create_failed(name, error);
    return false;
  }
  return true;
}

bool Installation::place_scripts() {
  if (staged_scripts_.empty()) return true;
  int dir = open_record_dir(p_);
  for (const std::string& name : staged_scripts_) {
    const std::string staged = kStagedScript + name;
    if (dir < 0 || renameat(dir, staged.c_str(), dir, name.c_str()) != 0) {
      int error = errno;
      if (dir >= 0) close(dir);
      create_failed(name, error);
      return false;
    }
  }
  staged_scripts_.clear();
  close(dir);
  return true;
}

bool Installation::extract() {
  std::string under;
  if (p_.disabled) {
    // /flash/x/<name> and /flash/x/<name>/var/pdb/<name>, also for a relative install.
    EntryPath x{{"x", p_.name, "var", "pdb", p_.name}, ""};
    open_parent(Target::flash(), x, true, kParentMode);
    under = "x/" + p_.name;
  }
  return extract_files(r_, target_, under, *this);
}

bool Installation::keep_existing(const std::string& recorded) {
  if (plain_) return false;
  std::string owner = pm_.owner_of(recorded);
  if (!owner.empty()) {
    pm_.warning("file %s collides with %s package", recorded.c_str(), owner.c_str());
    return true;
  }
  pm_.warning("ghost file %s", recorded.c_str());
  return false;
}

bool Installation::creating(const std::string& recorded) { return journal_.creating(recorded); }

bool Installation::moving_aside(const RecordedPath& entry, const std::string& backup) {
  return journal_.moving_aside(entry, backup);
}

void Installation::created(const std::string& recorded) { p_.files.insert(recorded); }

void Installation::moved_aside(const RecordedPath& entry, const std::string& backup) {
  journal_.moved_aside(entry, backup);
}

void Installation::broken() { pm_.report_broken(display_label(p_)); }

void Installation::create_failed(const std::string& entry, int error) {
  pm_.report_create_failure(display_label(p_), entry, error);
}

void Installation::progress() {
  std::string text = "installing ";
  if (p_.disabled && p_.bundle.name.empty()) text += " (disabled) ";
  text += display_label(p_);
  pm_.show_progress_bar(text, r_);
}

void Installation::commit() {
  journal_.commit();
  open_ = false;
}

void Installation::made_directory(const RecordedPath& entry) { made_dirs_.push_back(entry); }

void Installation::roll_back() {
  remove_recorded_files(p_);
  for (auto it = made_dirs_.rbegin(); it != made_dirs_.rend(); ++it) remove_empty_directory(*it);
  made_dirs_.clear();
  if (!staged_scripts_.empty()) {
    int dir = open_record_dir(p_);
    for (const std::string& name : staged_scripts_)
      if (dir >= 0) unlinkat(dir, (kStagedScript + name).c_str(), 0);
    if (dir >= 0) close(dir);
    staged_scripts_.clear();
  }
  // A plain archive writes no record, so a record directory of its name belongs to an
  // installed package and stays.
  if (!plain_) remove_record(p_);
  p_.pending = PendingAction::None;
  journal_.roll_back();
  open_ = false;
}

bool install_package(PackageManager& pm, Package& p, PartReader& r, const Target& target) {
  Installation installation(pm, p, r, target);
  return installation.run();
}

bool run_script(MessageChannel& messages, const Package& p, const char* name) {
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
  if (!ok) messages.warning("package %s %s script failed", package_label(p).c_str(), name);
  return ok;
}

void release_files(Package& p) {
  remove_recorded_files(p);
  remove_record(p);
  p.pending = PendingAction::None;
}

bool register_package(MessageChannel& messages, Package& p) {
  if (!valid_package_name(p.name)) {
    messages.report_broken(display_label(p));
    return false;
  }
  if (!make_dirs(record_dir(p))) {
    messages.report_create_failure(display_label(p), "meta", errno);
    return false;
  }
  if (!write_record(p, messages)) {
    release_files(p);
    return false;
  }
  return true;
}
