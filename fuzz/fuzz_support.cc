#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "integrity/hex.h"
#include "integrity/sha1.h"
#include "system/output.h"

namespace {

// The names in dir, without "." and ".."; none when it cannot be read.
std::vector<std::string> entry_names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  return names;
}

std::string g_scratch;

void remove_scratch() {
  if (!g_scratch.empty()) remove_tree(g_scratch);
}

std::string read_link(const std::string& path) {
  char target[4096];
  ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, size_t(n));
}

std::string content_digest(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "unreadable";
  Sha1 sha;
  char buf[8192];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) sha.update(buf, size_t(n));
  close(fd);
  uint8_t digest[Sha1::kDigestSize];
  sha.finish(digest);
  return hex(digest, sizeof digest);
}

// Digests of files already read, by path. A digest is kept only for a file whose change time
// lay before the fingerprint that read it began, and used again only for the same inode with
// the same size and change time: any write after that start stamps a change time no earlier
// than it (the kernel takes it from a clock at or past the coarse clock read at the start),
// so a changed file can never match a kept entry, even within one clock tick.
struct KnownDigest {
  bool kept = false;
  dev_t dev;
  ino_t ino;
  off_t size;
  struct timespec ctime;
  std::string digest;
};
std::map<std::string, KnownDigest> g_digests;

bool before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

const std::string& cached_digest(const std::string& path, int dir, const char* name,
                                 const struct stat& st, const struct timespec& start) {
  if (g_digests.size() > 100000) g_digests.clear();  // a bound for trees that grow without end
  KnownDigest& known = g_digests[path];
  const bool same = known.kept && known.dev == st.st_dev && known.ino == st.st_ino &&
                    known.size == st.st_size && known.ctime.tv_sec == st.st_ctim.tv_sec &&
                    known.ctime.tv_nsec == st.st_ctim.tv_nsec;
  if (!same)
    known = KnownDigest{before(st.st_ctim, start), st.st_dev, st.st_ino, st.st_size, st.st_ctim,
                        content_digest(dir, name)};
  return known.digest;
}

// Fingerprints the entries below the directory handle dir (host path path, key prefix rel)
// and closes the handle. Everything goes through handles, so no link is followed.
void walk(int dir, const std::string& path, const std::string& rel,
          const struct timespec& start, Fingerprint& out) {
  DIR* d = fdopendir(dir);
  if (!d) {
    close(dir);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  for (const std::string& name : names) {
    const std::string key = rel + name;
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    char head[96];
    snprintf(head, sizeof head, "mode %o uid %u gid %u size %lld", unsigned(st.st_mode),
             unsigned(st.st_uid), unsigned(st.st_gid),
             S_ISDIR(st.st_mode) ? 0LL : (long long)st.st_size);
    std::string text = head;
    if (S_ISREG(st.st_mode))
      text += " sha1 " + cached_digest(path + "/" + name, dir, name.c_str(), st, start);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlinkat(dir, name.c_str(), target, sizeof target);
      text += " -> " + (n < 0 ? std::string() : std::string(target, size_t(n)));
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) text += " dev " + std::to_string(st.st_rdev);
    out[key] = text;
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) walk(sub, path + "/" + name, key + "/", start, out);
    }
  }
  closedir(d);
}

// Removes everything below the directory handle dir and closes it, following no link.
// Directories are made writable and searchable on the way where that is needed (a tree may
// hold read-only ones; root needs none of it).
void remove_below(int dir) {
  static const bool privileged = geteuid() == 0;
  DIR* d = fdopendir(dir);
  if (!d) {
    close(dir);
    return;
  }
  std::vector<std::pair<std::string, bool>> entries;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      entries.emplace_back(e->d_name, e->d_type == DT_DIR || e->d_type == DT_UNKNOWN);
  for (const auto& [name, maybe_dir] : entries) {
    if (!maybe_dir && unlinkat(dir, name.c_str(), 0) == 0) continue;
    if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) continue;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int sub = openat(dir, name.c_str(), flags);
    if (sub < 0 && errno == EACCES) {
      fchmodat(dir, name.c_str(), 0700, 0);
      sub = openat(dir, name.c_str(), flags);
    }
    if (sub < 0) {
      unlinkat(dir, name.c_str(), 0);
      continue;
    }
    if (!privileged) fchmod(sub, 0700);
    remove_below(sub);
    unlinkat(dir, name.c_str(), AT_REMOVEDIR);
  }
  closedir(d);
}

// Creates the missing directories above path, from the deepest one that exists.
void make_parents(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == 0 || slash == std::string::npos) return;
  std::string parent = path.substr(0, slash);
  if (mkdir(parent.c_str(), 0755) == 0 || errno != ENOENT) return;
  make_parents(parent);
  mkdir(parent.c_str(), 0755);
}

// Creates the entry at the components below the directory handle root_fd without following
// any link; false when the way is blocked.
bool create_entry(int root_fd, const std::vector<std::string>& parts, uint8_t kind,
                  std::string_view content) {
  int dir = dup(root_fd);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    mkdirat(dir, parts[i].c_str(), 0755);
    int next = openat(dir, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    if (next < 0) return false;
    dir = next;
  }
  const char* name = parts.back().c_str();
  bool ok = true;
  switch (kind % 5) {
    case 0:
    case 4: {
      int fd = openat(dir, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0644);
      if (fd < 0) {
        ok = false;
        break;
      }
      if (kind % 5 == 0 && write(fd, content.data(), content.size()) < 0) ok = false;
      close(fd);
      break;
    }
    case 1:
      ok = mkdirat(dir, name, 0755) == 0;
      break;
    case 2:
      ok = symlinkat(std::string(content).c_str(), dir, name) == 0;
      break;
    case 3:
      ok = mkfifoat(dir, name, 0644) == 0;
      break;
  }
  close(dir);
  return ok;
}

}  // namespace

const std::string& scratch_dir(const char* target) {
  if (g_scratch.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kest-fuzz-" + target +
                          "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
      perror("mkdtemp");
      abort();
    }
    g_scratch = buf.data();
    atexit(remove_scratch);
  }
  return g_scratch;
}

void empty_dir(const std::string& dir) {
  chmod(dir.c_str(), 0700);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) remove_below(fd);
}

void remove_tree(const std::string& dir) {
  empty_dir(dir);
  rmdir(dir.c_str());
}

void copy_tree(const std::string& from, const std::string& to) {
  for (const std::string& name : entry_names(from)) copy_entry(from + "/" + name, to + "/" + name, true);
}

void copy_entry(const std::string& src, const std::string& dst, bool below) {
  struct stat st;
  if (lstat(src.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    mkdir(dst.c_str(), 0700);
    if (below) copy_tree(src, dst);
    chmod(dst.c_str(), st.st_mode & 07777);
  } else if (S_ISLNK(st.st_mode)) {
    symlink(read_link(src).c_str(), dst.c_str());
  } else if (S_ISREG(st.st_mode)) {
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
    char buf[8192];
    for (ssize_t n; in >= 0 && out >= 0 && (n = read(in, buf, sizeof buf)) > 0;)
      if (write(out, buf, size_t(n)) != n) break;
    if (in >= 0) close(in);
    if (out >= 0) {
      fchmod(out, st.st_mode & 07777);
      close(out);
    }
  } else {
    mknod(dst.c_str(), st.st_mode, st.st_rdev);
  }
  lchown(dst.c_str(), st.st_uid, st.st_gid);
}

void restore_tree(const std::string& model, const Fingerprint& model_print,
                  const std::string& dir, const Fingerprint& dir_print) {
  auto is_dir = [](const std::string& what) { return what.compare(0, 6, "mode 4") == 0; };
  std::set<std::string> missing;
  // Children come after their parent in the map, so backwards every entry is dealt with
  // before the directory that holds it.
  for (auto it = dir_print.rbegin(); it != dir_print.rend(); ++it) {
    const auto& [path, what] = *it;
    auto model_entry = model_print.find(path);
    if (model_entry != model_print.end() && model_entry->second == what) continue;
    const std::string host = dir + "/" + path;
    if (model_entry != model_print.end() && is_dir(what) && is_dir(model_entry->second)) {
      struct stat st;  // a directory of the model with another mode or owner
      if (lstat((model + "/" + path).c_str(), &st) == 0) {
        chmod(host.c_str(), st.st_mode & 07777);
        lchown(host.c_str(), st.st_uid, st.st_gid);
      }
      continue;
    }
    if (is_dir(what)) remove_tree(host);
    else unlink(host.c_str());
    if (model_entry != model_print.end()) missing.insert(path);
  }
  for (const auto& [path, what] : model_print)
    if (missing.count(path) || !dir_print.count(path))
      copy_entry(model + "/" + path, dir + "/" + path, false);
}

bool put_file(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {  // make the missing parents, then try again
    make_parents(path);
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  return close(fd) == 0 && ok;
}

Fingerprint fingerprint(const std::string& dir) {
  Fingerprint out;
  struct timespec start;
  clock_gettime(CLOCK_REALTIME_COARSE, &start);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) walk(fd, dir, "", start, out);
  return out;
}

std::string fingerprint_diff(const Fingerprint& before, const Fingerprint& after) {
  std::string text;
  for (const auto& [path, what] : before) {
    auto it = after.find(path);
    if (it == after.end()) text += "  gone:    " + path + " (" + what + ")\n";
    else if (it->second != what) text += "  changed: " + path + " (" + what + " -> " + it->second + ")\n";
  }
  for (const auto& [path, what] : after)
    if (!before.count(path)) text += "  new:     " + path + " (" + what + ")\n";
  return text;
}

std::set<int> open_descriptors() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return fds;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') fds.insert(atoi(e->d_name));
  fds.erase(dirfd(d));  // the handle of the listing itself
  closedir(d);
  return fds;
}

int open_descriptor_count() { return int(open_descriptors().size()); }

std::string_view ByteReader::bytes(size_t n) {
  size_t take = n < left() ? n : left();
  std::string_view v(reinterpret_cast<const char*>(data_) + at_, take);
  at_ += take;
  return v;
}

void build_tree(ByteReader& in, const std::vector<std::string>& roots, size_t max_entries) {
  if (roots.empty()) return;
  for (size_t n = 0; n < max_entries && !in.empty(); ++n) {
    uint8_t kind = in.u8();
    const std::string& root = roots[(kind / 5) % roots.size()];
    std::string_view path = in.piece();
    std::string_view content = (kind % 5 == 0 || kind % 5 == 2) ? in.bytes(in.u16()) : "";
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find('/', start);
      if (end == std::string_view::npos) end = path.size();
      std::string part(path.substr(start, end - start));
      if (!part.empty() && part != "." && part != ".." && part.find('\0') == std::string::npos)
        parts.push_back(part);
      start = end + 1;
    }
    if (parts.empty()) continue;
    int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0) continue;
    create_entry(root_fd, parts, kind, content);
    close(root_fd);
  }
}

QuietConsole::QuietConsole() : capture_(new OutputCapture) {}
QuietConsole::~QuietConsole() { delete static_cast<OutputCapture*>(capture_); }

void oracle_failure(const char* target, const std::string& what) {
  fprintf(stderr, "\n==== %s: oracle failed ====\n%s\n", target, what.c_str());
  fflush(stderr);
  abort();
}
