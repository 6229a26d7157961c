#include "pkgmgr/installation.h"

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
#include "archive/version_text.h"
#include "pkgmgr/database.h"
#include "pkgmgr/journal.h"
#include "pkgmgr/ownership.h"
#include "pkgmgr/package_manager.h"
#include "system/child_process.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

constexpr uint32_t kImageStep = 4096;
constexpr mode_t kParentMode = 0770;
const char kScriptPreamble[] = "#!/bin/bash\n\n. /kest/lib/install/profile.sh\n\n";
const char kStagedScript[] = ".kpk-staged-";

void ignore_signal(int) {}

}  // namespace

Installation::Installation(PackageManager& pm, Package& p, PartReader& r, const Target& target,
                           Journal& journal, const WalkedPackage* judged)
    : pm_(pm),
      p_(p),
      r_(r),
      target_(target),
      journal_(journal),
      judged_(judged),
      plain_(r.is_plain()) {}

Installation::~Installation() = default;

bool Installation::run() {
  progress();
  mark_ = journal_.mark();
  if (!valid_record_names(p_)) {
    broken();
    return false;
  }
  // The database directory stands before anything is extracted: no entry can take its place.
  if (!target_.relative) make_dirs(kRepository);
  if (!plain_) {
    if (!journal_.making_record(p_.name) || !make_dirs(record_dir(p_))) {
      create_failed("meta", errno);
      fail();
      return false;
    }
    journal_.made_record(p_.name);
  }
  database_ = std::make_unique<DatabaseGuard>();

  bool stopped = false;
  Proof proof = walk_package_parts(r_, *this, &stopped, judged_);
  if (!stopped && proof == Proof::kNone) broken();
  if (stopped || proof == Proof::kNone || !place_scripts() ||
      (!plain_ && !write_record(p_, pm_))) {
    fail();
    return false;
  }
  return true;
}

bool Installation::image(PartReader& r) {
  while (r.remaining() > 0) {
    progress();
    uint32_t step = r.remaining() < kImageStep ? r.remaining() : kImageStep;
    if (!r.seekg(step, std::ios_base::cur)) break;
  }
  return true;
}

bool Installation::install_script(PartReader&) {
  // A package with an image keeps no install script: its body is passed over unread.
  return p_.has_image || write_script("oninstall");
}

bool Installation::uninstall_script(PartReader&) { return write_script("onuninstall"); }

bool Installation::file_data(PartReader& r) {
  std::string under;
  if (p_.disabled) {
    // /flash/x/<name> and /flash/x/<name>/var/pdb/<name>, also for a relative install: noted
    // as made like every other directory.
    EntryPath x{{"x", p_.name, "var", "pdb", p_.name}, ""};
    std::vector<EntryPath> made;
    auto note = [&](int dir, const EntryPath& making) {
      Identity id;
      return identity_of_fd(dir, &id) && journal_.making_directory(id, RecordedPath{false, making});
    };
    open_parent(Target::flash(), x, true, kParentMode, &made, note);
    for (const EntryPath& m : made) {
      DirFd holder = open_parent(Target::flash(), m, false, 0);
      Identity dir, self;
      if (holder.ok() && identity_of_fd(holder.get(), &dir) &&
          identity_at(holder.get(), m.leaf, &self))
        journal_.made_directory(RecordedPath{false, m}, dir, self);
    }
    under = "x/" + p_.name;
  }
  return extract_files(r, target_, under, *this);
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

void Installation::fail() {
  if (!staged_scripts_.empty()) {
    int dir = open_record_dir(p_);
    for (const std::string& name : staged_scripts_)
      if (dir >= 0) unlinkat(dir, (kStagedScript + name).c_str(), 0);
    if (dir >= 0) close(dir);
    staged_scripts_.clear();
  }
  journal_.roll_back_to(mark_);
  p_.files.clear();
  p_.pending = PendingAction::None;
}

bool Installation::accepts_name(const EntryPath& path) { return !has_manager_name(path); }

bool Installation::accepts_directory(int dir) { return !database_ || !database_->inside(dir); }

bool Installation::keep_existing(const std::string& recorded, const struct stat& existing,
                                 bool dangling) {
  if (plain_) return false;
  if (!owners_) owners_ = std::make_unique<OwnerIndex>(pm_.installed());
  // Without knowing every owner, nothing that is there is taken for a ghost.
  if (owners_->error() != 0) {
    pm_.warning("file %s kept: its owner cannot be told (%s)", recorded.c_str(),
                strerror(owners_->error()));
    return true;
  }
  // The entry itself decides; a package that records this very path owns it as well, even
  // where the path now leads elsewhere.
  const std::string* owner = owners_->owner(Identity::of(existing));
  std::string by_path = owner ? std::string() : pm_.owner_of(recorded);
  if (owner || !by_path.empty()) {
    pm_.warning("file %s collides with %s package", recorded.c_str(),
                owner ? owner->c_str() : by_path.c_str());
    return true;
  }
  // A link that leads nowhere counts as absent: it is moved aside without a word.
  if (!dangling) pm_.warning("ghost file %s", recorded.c_str());
  return false;
}

bool Installation::creating(const Identity& dir, const RecordedPath& entry) {
  return journal_.creating(dir, entry);
}

bool Installation::making_directory(const Identity& dir, const RecordedPath& entry) {
  return journal_.making_directory(dir, entry);
}

bool Installation::moving_aside(const Identity& dir, const RecordedPath& entry,
                                const std::string& backup) {
  return journal_.moving_aside(dir, entry, backup);
}

void Installation::created(const RecordedPath& entry, const Identity& dir, const Identity& self) {
  p_.files.insert(entry.text());
  journal_.created(entry, dir, self);
}

void Installation::made_directory(const RecordedPath& entry, const Identity& dir,
                                  const Identity& self) {
  journal_.made_directory(entry, dir, self);
}

void Installation::moved_aside(const Identity& dir, const RecordedPath& entry,
                               const std::string& backup) {
  journal_.moved_aside(dir, entry, backup);
}

void Installation::broken() { pm_.report_broken(display_label(p_)); }

void Installation::create_failed(const std::string& entry, int error) {
  pm_.report_create_failure(display_label(p_), entry, error);
}

void Installation::progress() {
  if (pm_.quiet()) return;
  std::string text = "installing ";
  if (p_.disabled && p_.bundle.name.empty()) text += " (disabled) ";
  text += display_label(p_);
  pm_.show_progress_bar(text, r_);
}

bool install_package(PackageManager& pm, Package& p, PartReader& r, const Target& target,
                     const WalkedPackage* judged) {
  Journal journal(pm, !r.is_plain() && !target.relative);
  Installation installation(pm, p, r, target, journal, judged);
  if (!installation.run()) {
    journal.roll_back();
    return false;
  }
  // The new files are on the disk before the backups of what they replace are deleted.
  sync();
  journal.commit();
  finish_package(pm, p);
  return true;
}

void finish_package(PackageManager& pm, const Package& p) {
  if (!p.disabled) run_script(pm, p, "oninstall");
  if (!p.bundle.name.empty()) return;
  pm.show_progress("");
  pm.note("installed %s%s", p.disabled ? "(disabled) " : "", package_label(p).c_str());
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

bool register_package(PackageManager& pm, Package& p, Journal& journal) {
  if (!valid_record_names(p)) {
    pm.report_broken(display_label(p));
    return false;
  }
  if (!journal.making_record(p.name) || !make_dirs(record_dir(p))) {
    pm.report_create_failure(display_label(p), "meta", errno);
    return false;
  }
  journal.made_record(p.name);
  if (!write_record(p, pm)) {
    remove_record(p);
    return false;
  }
  return true;
}
