#include "system/target_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "system/root.h"

bool split_entry_name(std::string_view name, EntryPath* path) {
  path->parents.clear();
  path->leaf.clear();
  // A newline would split the files record into two other paths.
  if (name.empty() || name.find_first_of(std::string_view("\0\n", 2)) != std::string_view::npos)
    return false;
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= name.size()) {
    size_t slash = name.find('/', at);
    if (slash == std::string_view::npos) slash = name.size();
    std::string_view part = name.substr(at, slash - at);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    at = slash + 1;
  }
  if (parts.empty()) return false;
  path->leaf = std::move(parts.back());
  parts.pop_back();
  path->parents = std::move(parts);
  return true;
}

std::string Target::host_root() const { return root_path(root); }

std::string Identity::text() const {
  return std::to_string(uint64_t(dev)) + ":" + std::to_string(uint64_t(ino));
}

bool Identity::parse(std::string_view text, Identity* out) {
  auto number = [](std::string_view digits, uint64_t* value) {
    if (digits.empty() || digits.size() > 20) return false;
    uint64_t v = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      uint64_t next = v * 10 + uint64_t(c - '0');
      if (next / 10 != v) return false;  // more than 64 bits
      v = next;
    }
    *value = v;
    return true;
  };
  size_t colon = text.find(':');
  uint64_t dev = 0, ino = 0;
  if (colon == std::string_view::npos || !number(text.substr(0, colon), &dev) ||
      !number(text.substr(colon + 1), &ino))
    return false;
  out->dev = dev_t(dev);
  out->ino = ino_t(ino);
  return uint64_t(out->dev) == dev && uint64_t(out->ino) == ino;
}

bool identity_of_fd(int fd, Identity* id) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *id = Identity::of(st);
  return true;
}

bool identity_at(int dir, const std::string& leaf, Identity* id, bool* directory) {
  struct stat st;
  if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  *id = Identity::of(st);
  if (directory) *directory = S_ISDIR(st.st_mode);
  return true;
}

bool lies_below(int dir, const Identity& ancestor, const Identity* stop) {
  Identity here;
  if (!identity_of_fd(dir, &here)) return false;
  // Never deeper than a path can be long: a loop of ".." entries ends too.
  DirFd up;
  for (int level = 0; level < 4096; ++level) {
    if (here == ancestor) return true;
    if (stop && here == *stop) return false;
    int from = level == 0 ? dir : up.get();
    DirFd parent(openat(from, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    Identity above;
    if (!parent.ok() || !identity_of_fd(parent.get(), &above) || above == here) return false;
    up = std::move(parent);
    here = above;
  }
  return false;
}

std::string RecordedPath::text() const {
  std::string out = relative ? "." : "";
  for (const std::string& part : path.parents) out += "/" + part;
  return out + "/" + path.leaf;
}

bool RecordedPath::parse(std::string_view text, RecordedPath* out) {
  out->relative = text.substr(0, 2) == "./";
  if (out->relative) text.remove_prefix(2);
  // Whatever else it begins with, the path is below the target's root.
  return split_entry_name(text, &out->path);
}

DirFd::~DirFd() {
  if (fd_ >= 0) close(fd_);
}

DirFd& DirFd::operator=(DirFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

namespace {

#ifndef SYS_openat2
constexpr long SYS_openat2 = 437;  // the same number on every architecture
#endif

// How many links one resolution may pass through, as the kernel allows.
constexpr int kMaxLinks = 40;

LinkResolution g_resolution = LinkResolution::kKernel;

std::string joined(const std::vector<std::string>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i ? "/" : "") + parts[i];
  return out.empty() ? "." : out;
}

// openat2 with RESOLVE_IN_ROOT; -1 with errno ENOSYS when the kernel has no such call.
int open_in_root_by_kernel(int root, const std::string& path, int flags) {
  struct open_how how = {};
  how.flags = uint64_t(flags);
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  return int(syscall(SYS_openat2, root, path.c_str(), &how, sizeof how));
}

// The same resolution in user space: one component at a time without following anything,
// a link's text put in front of what is left, ".." never above the root and an absolute
// link back at the root.
int open_in_root_by_walk(int root, const std::string& path, int flags) {
  std::deque<std::string> todo;
  auto push_front = [&](std::string_view text) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
      size_t slash = text.find('/', at);
      if (slash == std::string_view::npos) slash = text.size();
      if (slash > at) parts.emplace_back(text.substr(at, slash - at));
      at = slash + 1;
    }
    todo.insert(todo.begin(), parts.begin(), parts.end());
  };
  push_front(path);
  std::vector<DirFd> below;  // the directories from the root down to the current one
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!below.empty()) below.pop_back();
      continue;
    }
    const int dir = below.empty() ? root : below.back().get();
    const bool last = todo.empty();
    struct stat st;
    if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (S_ISLNK(st.st_mode) && !(last && (flags & O_NOFOLLOW))) {
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return -1;
      }
      std::string target(size_t(st.st_size) + 1, '\0');
      ssize_t n = readlinkat(dir, part.c_str(), target.data(), target.size());
      if (n < 0 || size_t(n) >= target.size()) {
        if (n >= 0) errno = ELOOP;  // it changed under us
        return -1;
      }
      target.resize(size_t(n));
      if (!target.empty() && target[0] == '/') below.clear();
      push_front(target);
      continue;
    }
    if (last) return openat(dir, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    int fd = openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    below.emplace_back(fd);
  }
  // The path named a directory on the way (the root itself, or after a last "..").
  return openat(below.empty() ? root : below.back().get(), ".", flags | O_CLOEXEC);
}

// Opens path below the directory root as if root were the root directory. A link at the end
// is followed unless flags hold O_NOFOLLOW.
int open_in_root(int root, const std::string& path, int flags) {
  if (g_resolution == LinkResolution::kKernel) {
    int fd = open_in_root_by_kernel(root, path, flags | O_CLOEXEC);
    // Without openat2 (an older kernel, or a filter that forbids it) the walk takes over.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    g_resolution = LinkResolution::kWalk;
  }
  return open_in_root_by_walk(root, path, flags);
}

}  // namespace

void set_link_resolution(LinkResolution how) { g_resolution = how; }
LinkResolution link_resolution() { return g_resolution; }

DirFd open_parent(const Target& target, const EntryPath& path, bool create, mode_t mode,
                  std::vector<EntryPath>* made,
                  const std::function<bool(int, const EntryPath&)>& may_make_in) {
  DirFd root(open(target.host_root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok() || path.parents.empty()) return root;
  const int flags = O_RDONLY | O_DIRECTORY;
  const size_t n = path.parents.size();
  DirFd dir(open_in_root(root.get(), joined(path.parents, n), flags));
  if (dir.ok() || errno != ENOENT || !create) return dir;
  // Something is missing: make the missing directories one at a time.
  dir = DirFd(dup(root.get()));
  for (size_t i = 1; i <= n && dir.ok(); ++i) {
    int fd = open_in_root(root.get(), joined(path.parents, i), flags);
    if (fd < 0 && errno == ENOENT) {
      EntryPath making{std::vector<std::string>(path.parents.begin(),
                                                path.parents.begin() + long(i - 1)),
                       path.parents[i - 1]};
      if (may_make_in && !may_make_in(dir.get(), making)) {
        errno = EPERM;
        return DirFd();
      }
      if (mkdirat(dir.get(), path.parents[i - 1].c_str(), mode) == 0) {
        if (made) made->push_back(std::move(making));
      } else if (errno != EEXIST) {
        return DirFd();
      }
      fd = open_in_root(root.get(), joined(path.parents, i), flags);
    }
    dir = DirFd(fd);
  }
  return dir;
}

int stat_entry(const Target& target, const EntryPath& path, struct stat* st) {
  DirFd entry(open_entry(target, path, O_PATH));
  if (!entry.ok()) return -1;
  return fstat(entry.get(), st);
}

int open_entry(const Target& target, const EntryPath& path, int flags) {
  DirFd root(open(target.host_root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.ok()) return -1;
  std::vector<std::string> parts = path.parents;
  parts.push_back(path.leaf);
  return open_in_root(root.get(), joined(parts, parts.size()), flags | O_CLOEXEC);
}

std::vector<RecordedPath> removal_order(const std::set<std::string>& recorded) {
  std::vector<RecordedPath> entries, links;
  for (const std::string& text : recorded) {
    RecordedPath entry;
    if (!RecordedPath::parse(text, &entry)) continue;
    DirFd dir = open_parent(entry.target(), entry.path, false, 0);
    struct stat st;
    bool link = dir.ok() &&
                fstatat(dir.get(), entry.path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode);
    (link ? links : entries).push_back(std::move(entry));
  }
  entries.insert(entries.end(), links.begin(), links.end());
  return entries;
}

namespace {
const char kBackupPrefix[] = ".kpk-replaced-";
}

std::string backup_name(int dir) {
  static unsigned counter = 0;
  struct stat st;
  for (;;) {
    std::string name = kBackupPrefix + std::to_string(getpid()) + "-" + std::to_string(counter++);
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return name;
  }
}

bool is_backup_name(const std::string& name) {
  return name.compare(0, sizeof kBackupPrefix - 1, kBackupPrefix) == 0 &&
         name.find_first_of(std::string("/ \n\0", 4)) == std::string::npos;
}

void remove_entry(const RecordedPath& entry) {
  DirFd dir = open_parent(entry.target(), entry.path, false, 0);
  if (dir.ok()) unlinkat(dir.get(), entry.path.leaf.c_str(), 0);
}

DirFd open_parent_if(const RecordedPath& entry, const Identity& dir) {
  DirFd fd = open_parent(entry.target(), entry.path, false, 0);
  Identity found;
  if (fd.ok() && (!identity_of_fd(fd.get(), &found) || found != dir)) {
    fd = DirFd();
    errno = ENOENT;
  }
  return fd;
}

bool remove_made_entry(const RecordedPath& entry, const Identity& dir, const Identity& self) {
  DirFd parent = open_parent_if(entry, dir);
  Identity found;
  bool directory = false;
  if (!parent.ok() || !identity_at(parent.get(), entry.path.leaf, &found, &directory))
    return errno == ENOENT;  // gone already (or its directory is), or it cannot be told
  if (found != self || directory) return true;  // not what was made
  return unlinkat(parent.get(), entry.path.leaf.c_str(), 0) == 0 || errno == ENOENT;
}

void remove_made_directory(const RecordedPath& entry, const Identity& dir, const Identity& self) {
  DirFd parent = open_parent_if(entry, dir);
  Identity found;
  bool directory = false;
  if (parent.ok() && identity_at(parent.get(), entry.path.leaf, &found, &directory) &&
      found == self && directory)
    unlinkat(parent.get(), entry.path.leaf.c_str(), AT_REMOVEDIR);
}

bool restore_entry(const RecordedPath& entry, const Identity& dir, const std::string& backup) {
  DirFd parent = open_parent_if(entry, dir);
  Identity found;
  if (!parent.ok() || !identity_at(parent.get(), backup, &found))
    return errno == ENOENT;  // nothing left to put back, or it cannot be told
  unlinkat(parent.get(), entry.path.leaf.c_str(), AT_REMOVEDIR);
  return renameat(parent.get(), backup.c_str(), parent.get(), entry.path.leaf.c_str()) == 0;
}

bool drop_backup(const RecordedPath& entry, const Identity& dir, const std::string& backup) {
  DirFd parent = open_parent_if(entry, dir);
  if (!parent.ok()) return errno == ENOENT;
  if (unlinkat(parent.get(), backup.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR) return false;
  // A record directory: flat, files only.
  int fd = openat(parent.get(), backup.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (!listing) {
    close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(listing))
    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
      names.emplace_back(e->d_name);
  for (const std::string& name : names) unlinkat(dirfd(listing), name.c_str(), 0);
  closedir(listing);
  return unlinkat(parent.get(), backup.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}
