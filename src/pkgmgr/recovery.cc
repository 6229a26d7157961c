#include "pkgmgr/recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/target_tree.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "system/root.h"

namespace {

// A log is read whole; a real one holds a line per entry of one package.
constexpr size_t kMaxLog = 64u << 20;

struct Line {
  char kind;
  std::string word;  // M: the backup name
  std::string rest;  // the name or recorded path; S: "<disabled> <user> <name>"
};

struct Log {
  unsigned number = 0;
  std::string path;  // host path
  int fd = -1;
  std::string state;
  std::vector<Line> lines;
};

// An entry on the disk: device and inode.
using Identity = std::pair<dev_t, ino_t>;

std::vector<std::string> names_in(const std::string& host_dir) {
  std::vector<std::string> names;
  DIR* handle = opendir(host_dir.c_str());
  if (!handle) return names;
  while (struct dirent* e = readdir(handle))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
  closedir(handle);
  return names;
}

// Reads the complete lines of a log; false when it is no log at all.
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
  for (size_t at = header + 5, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = text.substr(at, end - at);
    if (line.size() < 3 || line[1] != ' ') continue;
    Line l{line[0], "", line.substr(2)};
    if (l.kind == 'M') {
      size_t blank = l.rest.find(' ');
      if (blank == std::string::npos) continue;
      l.word = l.rest.substr(0, blank);
      l.rest.erase(0, blank + 1);
    }
    log->lines.push_back(std::move(l));
  }
  return true;
}

// A logged path: always below /flash (a log is kept only for installations there).
bool parse_logged(const std::string& text, RecordedPath* entry) {
  return RecordedPath::parse(text, entry) && !entry->relative;
}

bool identity_of(const RecordedPath& entry, Identity* id, bool* directory = nullptr) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  struct stat st;
  if (!dir.ok() || fstatat(dir.get(), entry.path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  *id = {st.st_dev, st.st_ino};
  if (directory) *directory = S_ISDIR(st.st_mode);
  return true;
}

// What recovery must never delete or replace: every entry that a record not being undone
// names, and every file of such a record.
std::set<Identity> protected_entries(const std::set<std::string>& undone) {
  std::set<Identity> kept;
  const std::string pdb = root_path(kJournalDir);
  for (const std::string& name : names_in(pdb)) {
    if (name[0] == '.' || undone.count(name)) continue;
    int dir = open((pdb + name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) continue;
    for (const std::string& file : names_in(pdb + name)) {
      struct stat st;
      if (fstatat(dir, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        kept.insert({st.st_dev, st.st_ino});
    }
    close(dir);
    std::set<std::string> files;
    read_files_record(name, &files);
    for (const std::string& text : files) {
      RecordedPath entry;
      Identity id;
      if (RecordedPath::parse(text, &entry) && identity_of(entry, &id)) kept.insert(id);
    }
  }
  return kept;
}

RecordedPath record_entry(const std::string& name) {
  RecordedPath record;
  record.path.parents = {"var", "pdb"};
  record.path.leaf = name;
  return record;
}

// Removes what an interrupted transaction created: its entries, then its record directories.
void remove_created(const Log& log, const std::set<Identity>& kept) {
  std::set<std::string> created;
  RecordedPath entry;
  for (const Line& l : log.lines)
    if (l.kind == 'C' && parse_logged(l.rest, &entry)) created.insert(l.rest);
  for (const RecordedPath& entry : removal_order(created)) {
    Identity id;
    bool directory = false;
    if (!identity_of(entry, &id, &directory) || directory || kept.count(id)) continue;
    DirFd dir = open_parent(entry.target(), entry.path, false, 0);
    if (dir.ok()) unlinkat(dir.get(), entry.path.leaf.c_str(), 0);
  }
  for (const Line& l : log.lines) {
    if (l.kind != 'R' || !valid_package_name(l.rest)) continue;
    RecordedPath record = record_entry(l.rest);
    Identity id;
    if (identity_of(record, &id) && !kept.count(id)) drop_backup(record, l.rest);
  }
}

// Puts back what an interrupted transaction moved aside or changed, newest first.
void restore(const Log& log, const std::set<Identity>& kept) {
  for (auto it = log.lines.rbegin(); it != log.lines.rend(); ++it) {
    const Line& l = *it;
    RecordedPath entry;
    if (l.kind == 'M' && is_backup_name(l.word) && parse_logged(l.rest, &entry)) {
      RecordedPath backup = entry;
      backup.path.leaf = l.word;
      Identity id;
      if (!identity_of(backup, &id)) continue;  // never moved, or back already
      if (identity_of(entry, &id) && kept.count(id)) continue;
      restore_entry(entry, l.word);
    } else if (l.kind == 'S' && l.rest.size() > 4 && l.rest[1] == ' ' && l.rest[3] == ' ') {
      Package p;
      p.name = l.rest.substr(4);
      p.user_forced = l.rest[2] == '1';
      struct stat st;
      if (!valid_package_name(p.name) || lstat(root_path(record_dir(p)).c_str(), &st) != 0 ||
          !S_ISDIR(st.st_mode))
        continue;
      if (l.rest[0] == '1')
        mark_disabled(p);
      else
        mark_enabled(p);
    }
  }
}

// A package image that no installation child holds any more; false when there is none.
bool stale_image(std::string* host_path) {
  *host_path = root_path("/flash/image");
  int fd = open(host_path->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool stale = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return stale;
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
    logs.push_back(std::move(log));
    if (fstat(logs.back().fd, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (flock(logs.back().fd, LOCK_EX | LOCK_NB) != 0) {
      // A living installation holds it: nothing here is left over.
      for (Log& l : logs) close(l.fd);
      return;
    }
  }
  std::string image;
  if (logs.empty() && !stale_image(&image)) return;

  std::set<std::string> undone;
  for (Log& log : logs) {
    if (!read_log(&log)) log.state.clear();
    if (log.state == "open")
      for (const Line& l : log.lines)
        if (l.kind == 'R') undone.insert(l.rest);
  }
  const std::set<Identity> kept = protected_entries(undone);
  std::sort(logs.begin(), logs.end(),
            [](const Log& a, const Log& b) { return a.number > b.number; });
  for (Log& log : logs) {
    if (log.state == "done") {
      for (const Line& l : log.lines) {
        RecordedPath entry;
        Identity id;
        if (l.kind != 'M' || !is_backup_name(l.word) || !parse_logged(l.rest, &entry)) continue;
        RecordedPath backup = entry;
        backup.path.leaf = l.word;
        if (identity_of(backup, &id) && !kept.count(id)) drop_backup(entry, l.word);
      }
    } else if (log.state == "open" || log.state == "undo") {
      if (log.state == "open") {
        remove_created(log, kept);
        // From here on the created entries are gone: a recovery that dies during the restores
        // must not take restored entries for created ones.
        const size_t at = sizeof kJournalHeader - 1;
        if (pwrite(log.fd, "undo", 4, off_t(at)) == 4) fdatasync(log.fd);
      }
      restore(log, kept);
    }
    // Anything else is not a log this system wrote: it is only taken away.
    unlink(log.path.c_str());
    close(log.fd);
  }

  if (stale_image(&image)) {
    Identity id;
    RecordedPath entry;
    RecordedPath::parse("/image", &entry);
    if (!identity_of(entry, &id) || !kept.count(id)) unlink(image.c_str());
  }
}
