#include "pkgmgr/recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "system/target_tree.h"
#include "pkgmgr/database.h"
#include "pkgmgr/spool.h"
#include "system/root.h"

namespace {

// A log is read whole; a real one holds a line per entry of one transaction.
constexpr size_t kMaxLog = 64u << 20;

struct Line {
  unsigned number = 0;  // 1 for the first line after the header
  char kind = 0;
  Identity dir;         // C, M
  std::string word;     // M: the backup name
  std::string rest;     // the name or recorded path; S: "<disabled> <user> <name>"
  bool unmade = false;  // what it made is gone already (X)
  bool undone = false;  // it is undone already (U)
};

struct Log {
  unsigned number = 0;
  std::string path;  // host path
  int fd = -1;
  std::string state;
  std::vector<Line> lines;
};

std::vector<std::string> names_in(const std::string& host_dir) {
  std::vector<std::string> names;
  DIR* handle = opendir(host_dir.c_str());
  if (!handle) return names;
  while (struct dirent* e = readdir(handle))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  closedir(handle);
  return names;
}

// Splits off the first word of text (up to a blank); false when there is no blank.
bool take_word(std::string* text, std::string* word) {
  size_t blank = text->find(' ');
  if (blank == std::string::npos) return false;
  *word = text->substr(0, blank);
  text->erase(0, blank + 1);
  return true;
}

// Reads the complete lines of a log; false when it is no log of this format.
bool read_log(Log* log) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(log->fd, buffer, sizeof buffer);
    if (n <= 0 || text.size() + size_t(n) > kMaxLog) break;
    text.append(buffer, size_t(n));
  }
  const size_t header = sizeof kJournalHeader - 1;
  if (text.compare(0, header, kJournalHeader) != 0 || text.size() < header + 5 ||
      text[header + 4] != '\n')
    return false;
  log->state = text.substr(header, 4);
  // A line cut short by the end of the file was never acted on: it is written first.
  unsigned number = 0;
  for (size_t at = header + 5, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    ++number;
    std::string line = text.substr(at, end - at);
    if (line.size() < 3 || line[1] != ' ') continue;
    Line l;
    l.number = number;
    l.kind = line[0];
    l.rest = line.substr(2);
    std::string dir;
    if (l.kind == 'C' || l.kind == 'D' || l.kind == 'M') {
      if (!take_word(&l.rest, &dir) || !Identity::parse(dir, &l.dir)) continue;
      if (l.kind == 'M' && !take_word(&l.rest, &l.word)) continue;
    }
    if (l.kind == 'X' || l.kind == 'U') {
      // Lines from the n-th up to this one were undone already (X: what they made is gone).
      unsigned first = unsigned(strtoul(l.rest.c_str(), nullptr, 10));
      for (Line& earlier : log->lines)
        if (earlier.number >= first) (l.kind == 'X' ? earlier.unmade : earlier.undone) = true;
      continue;
    }
    log->lines.push_back(std::move(l));
  }
  return true;
}

// A logged path: always below /flash (a log is kept only for transactions there).
bool parse_logged(const std::string& text, RecordedPath* entry) {
  return RecordedPath::parse(text, entry) && !entry->relative;
}

bool identity_of(const RecordedPath& entry, Identity* id, bool* directory = nullptr) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  return dir.ok() && identity_at(dir.get(), entry.path.leaf, id, directory);
}

// What recovery must never delete or replace: every entry that a record not being undone
// names, and every file of such a record. False when a files list could not be read: then
// nothing may be undone yet.
bool protected_entries(const std::set<std::string>& undone, std::set<Identity>* out) {
  std::set<Identity>& kept = *out;
  int error = 0;
  const std::string pdb = root_path(kJournalDir);
  for (const std::string& name : names_in(pdb)) {
    if (name[0] == '.' || undone.count(name)) continue;
    int dir = open((pdb + name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) continue;
    for (const std::string& file : names_in(pdb + name)) {
      Identity id;
      if (identity_at(dir, file, &id)) kept.insert(id);
    }
    close(dir);
    std::set<std::string> files;
    read_files_record(name, &files, &error);
    for (const std::string& text : files) {
      RecordedPath entry;
      Identity id;
      if (RecordedPath::parse(text, &entry) && identity_of(entry, &id)) kept.insert(id);
      else if (errno != ENOENT && errno != ENOTDIR && error == 0) error = errno;
    }
  }
  return error == 0;
}

// Deletes the record directory of name (flat: files only) unless it is protected.
void remove_record_dir(const std::string& name, const std::set<Identity>& kept) {
  if (!valid_package_name(name)) return;
  const std::string pdb = root_path(kJournalDir);
  int holder = open(pdb.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (holder < 0) return;
  Identity id;
  bool directory = false;
  int dir = -1;
  if (identity_at(holder, name, &id, &directory) && directory && !kept.count(id))
    dir = openat(holder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) {
    for (const std::string& file : names_in(pdb + name)) unlinkat(dir, file.c_str(), 0);
    close(dir);
    unlinkat(holder, name.c_str(), AT_REMOVEDIR);
  }
  close(holder);
}

// Removes what an interrupted transaction made: its entries, then its record directories and
// the directories it made. False when an entry could not be looked at or removed: then nothing
// is put back yet, and the log stays for the next run.
bool remove_created(const Log& log, const std::set<Identity>& kept) {
  bool whole = true;
  for (auto it = log.lines.rbegin(); it != log.lines.rend(); ++it) {
    const Line& l = *it;
    RecordedPath entry;
    if (l.unmade || l.undone || l.kind != 'C' || !parse_logged(l.rest, &entry)) continue;
    DirFd dir = open_parent_if(entry, l.dir);
    Identity id;
    bool directory = false;
    if (!dir.ok() || !identity_at(dir.get(), entry.path.leaf, &id, &directory)) {
      if (errno != ENOENT && errno != ENOTDIR) whole = false;
      continue;
    }
    if (directory || kept.count(id)) continue;
    if (unlinkat(dir.get(), entry.path.leaf.c_str(), 0) != 0 && errno != ENOENT) whole = false;
  }
  for (const Line& l : log.lines)
    if (!l.unmade && !l.undone && l.kind == 'R') remove_record_dir(l.rest, kept);
  // The directories it made go last, innermost first, and only when they are empty.
  for (auto it = log.lines.rbegin(); it != log.lines.rend(); ++it) {
    const Line& l = *it;
    RecordedPath entry;
    if (l.unmade || l.undone || l.kind != 'D' || !parse_logged(l.rest, &entry)) continue;
    DirFd dir = open_parent_if(entry, l.dir);
    Identity id;
    bool directory = false;
    if (dir.ok() && identity_at(dir.get(), entry.path.leaf, &id, &directory) && directory &&
        !kept.count(id))
      unlinkat(dir.get(), entry.path.leaf.c_str(), AT_REMOVEDIR);
  }
  return whole;
}

// Puts back what an interrupted transaction moved aside or changed, newest first. False when
// something could not be put back: the log stays for the next run.
bool restore(const Log& log, const std::set<Identity>& kept) {
  bool whole = true;
  for (auto it = log.lines.rbegin(); it != log.lines.rend(); ++it) {
    const Line& l = *it;
    if (l.undone) continue;
    RecordedPath entry;
    if (l.kind == 'M' && is_backup_name(l.word) && parse_logged(l.rest, &entry)) {
      Identity id;
      if (identity_of(entry, &id) && kept.count(id)) continue;
      if (!restore_entry(entry, l.dir, l.word)) whole = false;
    } else if (l.kind == 'S' && l.rest.size() > 4 && l.rest[1] == ' ' && l.rest[3] == ' ') {
      Package p;
      p.name = l.rest.substr(4);
      p.user_forced = l.rest[2] == '1';
      struct stat st;
      if (!valid_package_name(p.name) || lstat(root_path(record_dir(p)).c_str(), &st) != 0 ||
          !S_ISDIR(st.st_mode))
        continue;
      if (!(l.rest[0] == '1' ? mark_disabled(p) : mark_enabled(p))) whole = false;
    }
  }
  return whole;
}

// Deletes the backups a committed transaction left. False when one could not be deleted.
bool drop_backups(const Log& log, const std::set<Identity>& kept) {
  bool whole = true;
  for (const Line& l : log.lines) {
    RecordedPath entry;
    if (l.undone || l.kind != 'M' || !is_backup_name(l.word) || !parse_logged(l.rest, &entry))
      continue;
    RecordedPath backup = entry;
    backup.path.leaf = l.word;
    Identity id;
    if (!identity_of(backup, &id)) {
      if (errno != ENOENT && errno != ENOTDIR) whole = false;  // cannot be told: kept for later
    } else if (!kept.count(id) && !drop_backup(entry, l.dir, l.word)) {
      whole = false;
    }
  }
  return whole;
}

// A log this system made: a regular file of its own user, mode 0600, one name.
bool made_here(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         st.st_uid == geteuid() && (st.st_mode & 07777) == 0600;
}

// Deletes the named spools that no installation child holds any more.
void remove_stale_spools(const std::string& dir) {
  const size_t prefix = sizeof kSpoolPrefix - 1;
  for (const std::string& name : names_in(dir)) {
    if (name.compare(0, prefix, kSpoolPrefix) != 0) continue;
    const std::string path = dir + name;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
      unlink(path.c_str());
    close(fd);
  }
}

}  // namespace

void recover_journals() {
  const std::string dir = root_path(kJournalDir);
  std::vector<Log> logs;
  const size_t prefix = sizeof kJournalPrefix - 1;
  for (const std::string& name : names_in(dir)) {
    if (name.compare(0, prefix, kJournalPrefix) != 0) continue;
    Log log;
    log.number = unsigned(strtoul(name.c_str() + prefix, nullptr, 10));
    log.path = dir + name;
    // Only a regular file is opened: a planted device or FIFO of that name stays untouched.
    struct stat st;
    if (lstat(log.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    log.fd = open(log.path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (log.fd < 0) continue;
    if (!made_here(log.fd)) {
      // Not a log this system made: it is only taken away.
      unlink(log.path.c_str());
      close(log.fd);
      continue;
    }
    logs.push_back(std::move(log));
    if (flock(logs.back().fd, LOCK_EX | LOCK_NB) != 0) {
      // A living installation holds it: nothing here is left over.
      for (Log& l : logs) close(l.fd);
      return;
    }
  }
  remove_stale_spools(dir);
  if (logs.empty()) return;

  std::set<std::string> undone;
  for (Log& log : logs) {
    if (!read_log(&log)) log.state.clear();
    if (log.state == "open")
      for (const Line& l : log.lines)
        if (l.kind == 'R' && !l.unmade && !l.undone) undone.insert(l.rest);
  }
  std::set<Identity> kept;
  if (!protected_entries(undone, &kept)) {
    // What the records name cannot all be told: the logs stay for a run that can.
    for (Log& log : logs) close(log.fd);
    return;
  }
  std::sort(logs.begin(), logs.end(),
            [](const Log& a, const Log& b) { return a.number > b.number; });
  for (Log& log : logs) {
    bool whole = true;
    if (log.state == "done") {
      whole = drop_backups(log, kept);
    } else if (log.state == "open" || log.state == "undo") {
      if (log.state == "open") {
        whole = remove_created(log, kept);
        // From here on the created entries are gone: a recovery that dies during the restores
        // must not take restored entries for created ones.
        const size_t at = sizeof kJournalHeader - 1;
        if (whole && pwrite(log.fd, "undo", 4, off_t(at)) == 4) fdatasync(log.fd);
      }
      if (whole) whole = restore(log, kept);
    }
    // Anything else is not a log this system wrote: it is only taken away.
    if (whole) unlink(log.path.c_str());
    close(log.fd);
  }
}
