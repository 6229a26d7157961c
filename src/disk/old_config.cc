#include "disk/old_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "disk/target_layout.h"
#include "frontend/console.h"
#include "system/output.h"
#include "system/root.h"
#include "system/system.h"

struct SnapshotBlock {
  uint32_t magic;
  uint32_t capacity;
  uint32_t fill;  // bytes used while writing; the read position once complete
  SnapshotBlock* next;

  unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
  uint32_t room() const { return capacity - fill; }
};

namespace {

constexpr char kOldRoot[] = "/flash";
constexpr int kMaxLinks = 40;

// The status of one entry as kept in the snapshot: the same 88 bytes in every build.
struct StoredStatus {
  uint64_t device, inode;
  uint32_t mode, links, owner, group;
  uint64_t size;
  int64_t access_seconds, access_nanoseconds;
  int64_t modify_seconds, modify_nanoseconds;
  int64_t change_seconds, change_nanoseconds;
};
static_assert(sizeof(StoredStatus) == 88, "the stored status is 88 bytes");

StoredStatus stored_status(const struct stat& st) {
  StoredStatus s = {};
  s.device = uint64_t(st.st_dev);
  s.inode = uint64_t(st.st_ino);
  s.mode = st.st_mode;
  s.links = uint32_t(st.st_nlink);
  s.owner = st.st_uid;
  s.group = st.st_gid;
  s.size = uint64_t(st.st_size);
  s.access_seconds = st.st_atim.tv_sec;
  s.access_nanoseconds = st.st_atim.tv_nsec;
  s.modify_seconds = st.st_mtim.tv_sec;
  s.modify_nanoseconds = st.st_mtim.tv_nsec;
  s.change_seconds = st.st_ctim.tv_sec;
  s.change_nanoseconds = st.st_ctim.tv_nsec;
  return s;
}

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// How a path of the old system was resolved.
enum class Resolved { kFound, kMissing, kUnfollowable };

// Resolves an installer path below /flash as the old system sees it: every symbolic link on
// the way is followed with /flash as the root directory, so an absolute link or one with ".."
// stays inside the old root. With follow_last clear, a link in the last place is not followed.
// On kFound, host is the entry's host path with no link left in it. kUnfollowable when a link
// led nowhere (dangling, a loop, through a file); kMissing when the path itself does not exist.
Resolved resolve_in_old_root(const std::string& path, bool follow_last, std::string& host) {
  const std::string root = root_path(kOldRoot);
  if (path.compare(0, sizeof kOldRoot - 1, kOldRoot) != 0 ||
      (path.size() > sizeof kOldRoot - 1 && path[sizeof kOldRoot - 1] != '/'))
    return Resolved::kMissing;
  std::deque<std::string> pending;
  for (auto& part : split_path(path.substr(sizeof kOldRoot - 1))) pending.push_back(part);
  std::vector<std::string> done;
  std::string current = root;
  int links = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();
      current = root;
      for (auto& d : done) current += "/" + d;
      continue;
    }
    std::string next = current + "/" + part;
    struct stat st;
    if (lstat(next.c_str(), &st) != 0) return links ? Resolved::kUnfollowable : Resolved::kMissing;
    if (S_ISLNK(st.st_mode) && (follow_last || !pending.empty())) {
      if (++links > kMaxLinks) return Resolved::kUnfollowable;
      std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : 4096) + 1);
      ssize_t n = readlink(next.c_str(), target.data(), target.size());
      if (n <= 0 || size_t(n) >= target.size()) return Resolved::kUnfollowable;
      std::string text(target.data(), size_t(n));
      std::vector<std::string> parts = split_path(text);
      pending.insert(pending.begin(), parts.begin(), parts.end());
      if (text[0] == '/') {
        done.clear();
        current = root;
      }
      continue;
    }
    if (!pending.empty() && !S_ISDIR(st.st_mode))
      return links ? Resolved::kUnfollowable : Resolved::kMissing;
    done.push_back(std::move(part));
    current = std::move(next);
  }
  host = current;
  return Resolved::kFound;
}

void warn_unfollowable(const std::string& path) {
  out_printf("\nWARNING: couldn't keep %s - link cannot be followed\n", path.c_str());
}

using DirectoryIds = std::vector<std::pair<dev_t, ino_t>>;

bool snapshot_entry(Snapshot& snapshot, const std::string& path, DirectoryIds& open_dirs) {
  std::string host;
  switch (resolve_in_old_root(path, true, host)) {
    case Resolved::kFound:
      break;
    case Resolved::kUnfollowable:
      warn_unfollowable(path);
      return true;
    case Resolved::kMissing:
      return false;
  }
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return false;
  StoredStatus status = stored_status(st);

  if (S_ISREG(st.st_mode)) {
    int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = snapshot.append_whole(path.c_str(), path.size() + 1) &&
              snapshot.append(&status, sizeof status);
    if (ok) ok = snapshot.append_file(fd) == int64_t(status.size);
    close(fd);
    return ok;
  }
  if (!S_ISDIR(st.st_mode)) return true;

  for (auto& id : open_dirs) {
    if (id.first == st.st_dev && id.second == st.st_ino) {
      // A link back to a directory being copied would never end.
      warn_unfollowable(path);
      return true;
    }
  }
  DIR* dir = opendir(host.c_str());
  if (!dir) return false;
  bool ok = snapshot.append_whole(path.c_str(), path.size() + 1) &&
            snapshot.append(&status, sizeof status);
  open_dirs.emplace_back(st.st_dev, st.st_ino);
  while (ok) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (!entry) {
      ok = errno == 0;
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    ok = snapshot_entry(snapshot, path + "/" + entry->d_name, open_dirs);
  }
  open_dirs.pop_back();
  closedir(dir);
  return ok;
}

// Reads the records of a complete snapshot in order.
class SnapshotReader {
 public:
  explicit SnapshotReader(SnapshotBlock* first) : block_(first) {}

  // Moves past used-up blocks; false at the end of the chain.
  bool more() {
    while (block_ && block_->fill == block_->capacity) block_ = block_->next;
    return block_ != nullptr;
  }
  bool valid() const { return !block_ || block_->magic == Snapshot::kMagic; }

  bool read_path(std::string& path) {
    if (!more() || !valid()) return false;
    const unsigned char* start = block_->data() + block_->fill;
    const void* end = memchr(start, '\0', block_->capacity - block_->fill);
    if (!end) return false;
    size_t length = size_t(static_cast<const unsigned char*>(end) - start);
    path.assign(reinterpret_cast<const char*>(start), length);
    block_->fill += uint32_t(length + 1);
    return true;
  }

  // Hands out the next up to max bytes; false when the chain ends first.
  bool next_bytes(uint64_t max, const unsigned char** data, size_t* length) {
    if (!more() || !valid()) return false;
    uint32_t available = block_->capacity - block_->fill;
    *length = size_t(max < available ? max : available);
    *data = block_->data() + block_->fill;
    block_->fill += uint32_t(*length);
    return true;
  }

  bool read(void* out, size_t length) {
    unsigned char* to = static_cast<unsigned char*>(out);
    while (length > 0) {
      const unsigned char* data;
      size_t n;
      if (!next_bytes(length, &data, &n)) return false;
      memcpy(to, data, n);
      to += n;
      length -= n;
    }
    return true;
  }

 private:
  SnapshotBlock* block_;
};

struct timespec stored_time(int64_t seconds, int64_t nanoseconds) {
  struct timespec t;
  t.tv_sec = time_t(seconds);
  t.tv_nsec = long(nanoseconds);
  return t;
}

bool restore_file(SnapshotReader& reader, const std::string& host, const StoredStatus& status) {
  int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  uint64_t left = status.size;
  bool ok = fd >= 0;  // even an empty file must exist afterwards
  while (ok && left > 0) {
    const unsigned char* data;
    size_t n;
    if (!reader.next_bytes(left, &data, &n)) {
      ok = false;
      break;
    }
    left -= n;
    while (n > 0) {
      ssize_t written = write(fd, data, n);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        ok = false;
        break;
      }
      data += written;
      n -= size_t(written);
    }
  }
  if (fd < 0) return false;
  // The owner first: changing it afterwards would make the kernel drop set-uid and set-gid.
  if (ok) ok = fchown(fd, status.owner, status.group) == 0 && fchmod(fd, status.mode & 07777) == 0;
  if (close(fd) != 0) ok = false;
  if (!ok) return false;
  struct timespec times[2] = {stored_time(status.access_seconds, status.access_nanoseconds),
                              stored_time(status.modify_seconds, status.modify_nanoseconds)};
  return utimensat(AT_FDCWD, host.c_str(), times, 0) == 0;
}

struct DirectoryTimes {
  std::string host;
  struct timespec times[2];
};

bool write_back(Snapshot& snapshot) {
  if (!snapshot.first() || snapshot.first()->magic != Snapshot::kMagic) return false;
  SnapshotReader reader(snapshot.first());
  std::vector<DirectoryTimes> directories;
  bool ok = true;
  while (ok && reader.more()) {
    std::string path;
    StoredStatus status;
    if (!reader.read_path(path) || !reader.read(&status, sizeof status)) {
      ok = false;
      break;
    }
    std::string host = root_path(path);
    if (S_ISREG(status.mode)) {
      ok = restore_file(reader, host, status);
    } else if (S_ISDIR(status.mode)) {
      ok = mkdir(host.c_str(), 0700) == 0 && chown(host.c_str(), status.owner, status.group) == 0 &&
           chmod(host.c_str(), status.mode & 07777) == 0;
      if (ok)
        directories.push_back({host,
                               {stored_time(status.access_seconds, status.access_nanoseconds),
                                stored_time(status.modify_seconds, status.modify_nanoseconds)}});
    } else {
      ok = false;  // never stored
    }
  }
  // Writing into a directory changes its times: set them once everything below is written,
  // the deepest first.
  for (auto it = directories.rbegin(); it != directories.rend(); ++it)
    if (utimensat(AT_FDCWD, it->host.c_str(), it->times, 0) != 0) ok = false;
  return ok;
}

}  // namespace

Snapshot::~Snapshot() {
  while (first_) {
    SnapshotBlock* next = first_->next;
    free(first_);
    first_ = next;
  }
}

bool Snapshot::add_block(uint32_t capacity) {
  void* memory = malloc(sizeof(SnapshotBlock) + capacity);
  if (!memory) return false;
  SnapshotBlock* block = static_cast<SnapshotBlock*>(memory);
  block->magic = kMagic;
  block->capacity = capacity;
  block->fill = 0;
  block->next = nullptr;
  if (last_) {
    last_->capacity = last_->fill;  // the full block keeps only what it holds
    last_->next = block;
  } else {
    first_ = block;
  }
  last_ = block;
  return true;
}

bool Snapshot::start() { return first_ || add_block(kBlockSize); }

bool Snapshot::append_whole(const void* data, size_t length) {
  if (length > UINT32_MAX) return false;
  if (!last_ && !start()) return false;
  if (last_->room() < length && !add_block(length > kBlockSize ? uint32_t(length) : kBlockSize))
    return false;
  memcpy(last_->data() + last_->fill, data, length);
  last_->fill += uint32_t(length);
  return true;
}

bool Snapshot::append(const void* data, size_t length) {
  const unsigned char* from = static_cast<const unsigned char*>(data);
  if (!last_ && !start()) return false;
  while (length > 0) {
    if (last_->room() == 0 && !add_block(kBlockSize)) return false;
    size_t n = length < last_->room() ? length : last_->room();
    memcpy(last_->data() + last_->fill, from, n);
    last_->fill += uint32_t(n);
    from += n;
    length -= n;
  }
  return true;
}

int64_t Snapshot::append_file(int fd) {
  if (!last_ && !start()) return -1;
  int64_t total = 0;
  for (;;) {
    if (last_->room() == 0 && !add_block(kBlockSize)) return -1;
    ssize_t n = read(fd, last_->data() + last_->fill, last_->room());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return total;
    last_->fill += uint32_t(n);
    total += n;
  }
}

void Snapshot::complete() {
  for (SnapshotBlock* block = first_; block; block = block->next) {
    block->capacity = block->fill;
    block->fill = 0;
  }
}

bool snapshot_tree(Snapshot& snapshot, const std::string& path) {
  DirectoryIds open_dirs;
  return snapshot_entry(snapshot, path, open_dirs);
}

std::unique_ptr<Snapshot> snapshot_old_config(System& system, const TargetDisk& disk) {
  if (!mount_target(system, disk, false)) {
    out_printf("WARNING: couldn't keep config - couldn't mount file system\n");
    return nullptr;
  }
  std::unique_ptr<Snapshot> snapshot;
  std::string host, store;
  struct stat st;
  if (resolve_in_old_root("/flash/kest/store", true, host) == Resolved::kFound)
    store = "/flash/kest/store";
  else if (resolve_in_old_root("/flash/rw/store", false, host) == Resolved::kFound &&
           lstat(host.c_str(), &st) == 0)
    store = "/flash/rw/store";
  if (!store.empty()) {
    begin_progress("Reading old configuration...");
    snapshot.reset(new (std::nothrow) Snapshot);
    if (snapshot && snapshot->start() && snapshot_tree(*snapshot, store)) snapshot->complete();
    else snapshot.reset();
    end_progress();
    if (!snapshot) out_printf("ERROR: couldn't keep config - probably not enough memory\n");
  }
  system.umount(root_path("/flash/boot").c_str());
  system.umount(root_path("/flash").c_str());
  return snapshot;
}

bool restore_old_config(std::unique_ptr<Snapshot> snapshot) {
  begin_progress("Writing back old configuration...");
  bool ok = snapshot && write_back(*snapshot);
  snapshot.reset();
  end_progress();
  if (!ok)
    out_printf("ERROR: couldn't write old configuration - proboably not enough space on the disk\n");
  return ok;
}
