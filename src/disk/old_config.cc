#include "disk/old_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "disk/target_layout.h"
#include "frontend/console.h"
#include "system/output.h"
#include "system/root.h"
#include "system/memory.h"
#include "system/system.h"
#include "system/target_tree.h"

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
// Memory a snapshot leaves to the rest of the installation: a fixed amount, and an eighth of
// what the snapshot takes (allocation overhead, and what other processes take meanwhile).
constexpr uint64_t kMemoryReserve = 8 << 20;

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

// The entry of an installer path below /flash; false for any other path.
bool old_root_entry(const std::string& path, EntryPath* entry) {
  if (path.compare(0, sizeof kOldRoot, std::string(kOldRoot) + "/") != 0) return false;
  return split_entry_name(std::string_view(path).substr(sizeof kOldRoot), entry);
}

// What a walk over the store does with each entry it keeps.
class StoreVisitor {
 public:
  virtual ~StoreVisitor() = default;
  // A regular file, open for reading, and its status.
  virtual bool file(const std::string& path, int fd, const struct stat& st) = 0;
  // A directory, before what is in it.
  virtual bool directory(const std::string& path, const struct stat& st) = 0;
  // A link that cannot be followed: dangling, a loop, through a file, back to a directory
  // that contains it.
  virtual void unfollowable(const std::string& path) = 0;
};

using DirectoryIds = std::vector<Identity>;

enum class Opened { kFile, kOtherType, kUnfollowable, kError };

// Opens what entry leads to, as the old system sees it: every link, on the way and at its end,
// followed with /flash as the root directory (Target::flash()), so that an absolute link or
// one with ".." stays inside the old root. Only regular files and directories are opened
// (*fd, with its status in *st); kOtherType for anything else, kUnfollowable for a link that
// leads nowhere, kError when the entry cannot be looked at or opened.
Opened open_old_entry(const EntryPath& entry, int* fd, struct stat* st) {
  DirFd parent = open_parent(Target::flash(), entry, false, 0);
  if (!parent.ok()) return Opened::kError;
  if (fstatat(parent.get(), entry.leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return Opened::kError;
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  struct stat looked = *st;
  if (S_ISLNK(st->st_mode)) {
    // Look at where it leads before opening it, so that a device or a pipe behind it is never
    // opened.
    DirFd where(open_entry(Target::flash(), entry, O_PATH));
    if (!where.ok() || fstat(where.get(), &looked) != 0) return Opened::kUnfollowable;
  }
  if (!S_ISREG(looked.st_mode) && !S_ISDIR(looked.st_mode)) return Opened::kOtherType;
  *fd = S_ISLNK(st->st_mode) ? open_entry(Target::flash(), entry, flags)
                             : openat(parent.get(), entry.leaf.c_str(), flags | O_NOFOLLOW);
  if (*fd < 0) return Opened::kError;
  // It must still be what was looked at.
  if (fstat(*fd, st) != 0 || Identity::of(*st) != Identity::of(looked)) {
    close(*fd);
    return Opened::kError;
  }
  return Opened::kFile;
}

bool walk_entry(StoreVisitor& visitor, const std::string& path, DirectoryIds& open_dirs) {
  EntryPath entry;
  if (!old_root_entry(path, &entry)) return false;
  struct stat st;
  int fd = -1;
  switch (open_old_entry(entry, &fd, &st)) {
    case Opened::kFile:
      break;
    case Opened::kOtherType:
      return true;  // devices, sockets, pipes are not kept
    case Opened::kUnfollowable:
      visitor.unfollowable(path);
      return true;
    case Opened::kError:
      return false;
  }
  if (S_ISREG(st.st_mode)) {
    bool ok = visitor.file(path, fd, st);
    close(fd);
    return ok;
  }
  for (const Identity& id : open_dirs) {
    if (id == Identity::of(st)) {
      // A link back to a directory being copied would never end.
      close(fd);
      visitor.unfollowable(path);
      return true;
    }
  }
  DIR* dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return false;
  }
  bool ok = visitor.directory(path, st);
  open_dirs.push_back(Identity::of(st));
  while (ok) {
    errno = 0;
    struct dirent* e = readdir(dir);
    if (!e) {
      ok = errno == 0;
      break;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    ok = walk_entry(visitor, path + "/" + e->d_name, open_dirs);
  }
  open_dirs.pop_back();
  closedir(dir);
  return ok;
}

void warn_unfollowable(const std::string& path) {
  out_printf("\nWARNING: couldn't keep %s - link cannot be followed\n", path.c_str());
}

// Copies every entry into the snapshot.
class SnapshotVisitor : public StoreVisitor {
 public:
  explicit SnapshotVisitor(Snapshot& snapshot) : snapshot_(snapshot) {}
  bool file(const std::string& path, int fd, const struct stat& st) override {
    StoredStatus status = stored_status(st);
    return snapshot_.append_whole(path.c_str(), path.size() + 1) &&
           snapshot_.append(&status, sizeof status) &&
           snapshot_.append_file(fd, status.size) == int64_t(status.size);
  }
  bool directory(const std::string& path, const struct stat& st) override {
    StoredStatus status = stored_status(st);
    return snapshot_.append_whole(path.c_str(), path.size() + 1) &&
           snapshot_.append(&status, sizeof status);
  }
  void unfollowable(const std::string& path) override { warn_unfollowable(path); }

 private:
  Snapshot& snapshot_;
};

// Adds up the memory a snapshot of the store takes, and stops once that is more than limit.
class SizeVisitor : public StoreVisitor {
 public:
  explicit SizeVisitor(uint64_t limit) : limit_(limit) {}
  bool file(const std::string& path, int, const struct stat& st) override {
    return add(record(path) + uint64_t(st.st_size));
  }
  bool directory(const std::string& path, const struct stat&) override {
    return add(record(path));
  }
  void unfollowable(const std::string&) override {}
  uint64_t bytes() const { return bytes_; }

 private:
  // A path never splits across blocks: what is left of the block before it may stay unused,
  // at most as much as the path itself.
  static uint64_t record(const std::string& path) {
    return 2 * (uint64_t(path.size()) + 1) + sizeof(StoredStatus);
  }
  bool add(uint64_t n) {
    bytes_ += n;
    return bytes_ <= limit_;
  }
  uint64_t limit_;
  uint64_t bytes_ = 0;
};

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

bool write_all(int fd, const unsigned char* data, size_t n) {
  while (n > 0) {
    ssize_t written = write(fd, data, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    n -= size_t(written);
  }
  return true;
}

// Stored owner, group and mode on the open entry fd. The owner first: changing it afterwards
// would make the kernel drop set-uid and set-gid.
bool set_owner_and_mode(int fd, const StoredStatus& status) {
  return fchown(fd, status.owner, status.group) == 0 && fchmod(fd, status.mode & 07777) == 0;
}

bool set_times(int fd, const StoredStatus& status) {
  struct timespec stamps[2] = {stored_time(status.access_seconds, status.access_nanoseconds),
                               stored_time(status.modify_seconds, status.modify_nanoseconds)};
  return futimens(fd, stamps) == 0;
}

// Writes the file's content into the new file leaf of dir (created with 0600; an existing file
// is not truncated) and sets its status.
bool restore_file(SnapshotReader& reader, int dir, const std::string& leaf,
                  const StoredStatus& status) {
  int fd = openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;  // even an empty file must exist afterwards
  uint64_t left = status.size;
  bool ok = true;
  while (ok && left > 0) {
    const unsigned char* data;
    size_t n;
    ok = reader.next_bytes(left, &data, &n) && write_all(fd, data, n);
    left -= n;
  }
  ok = ok && set_owner_and_mode(fd, status) && set_times(fd, status);
  if (close(fd) != 0) ok = false;
  return ok;
}

// A restored directory whose times are set once everything in it is written.
struct RestoredDirectory {
  EntryPath path;
  Identity id;
  StoredStatus status;
};

// Makes the directory leaf of dir (0700, then its stored owner, group and mode).
bool restore_directory(int dir, const EntryPath& path, const StoredStatus& status,
                       std::vector<RestoredDirectory>& made) {
  if (mkdirat(dir, path.leaf.c_str(), 0700) != 0) return false;
  DirFd fd(openat(dir, path.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  Identity id;
  if (!fd.ok() || !identity_of_fd(fd.get(), &id) || !set_owner_and_mode(fd.get(), status))
    return false;
  made.push_back({path, id, status});
  return true;
}

// Every entry is created through the target tree: a link in the new system (a package's, or
// a restored one's way) cannot lead a write out of /flash.
bool write_back(Snapshot& snapshot) {
  if (!snapshot.first() || snapshot.first()->magic != Snapshot::kMagic) return false;
  SnapshotReader reader(snapshot.first());
  std::vector<RestoredDirectory> directories;
  bool ok = true;
  while (ok && reader.more()) {
    std::string path;
    StoredStatus status;
    EntryPath entry;
    if (!reader.read_path(path) || !reader.read(&status, sizeof status) ||
        !old_root_entry(path, &entry)) {
      ok = false;
      break;
    }
    DirFd dir = open_parent(Target::flash(), entry, false, 0);
    if (!dir.ok()) {
      ok = false;
    } else if (S_ISREG(status.mode)) {
      ok = restore_file(reader, dir.get(), entry.leaf, status);
    } else if (S_ISDIR(status.mode)) {
      ok = restore_directory(dir.get(), entry, status, directories);
    } else {
      ok = false;  // never stored
    }
  }
  // Writing into a directory changes its times: set them once everything below is written,
  // the deepest first, on the directory that was made.
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    DirFd dir = open_parent(Target::flash(), it->path, false, 0);
    DirFd made(dir.ok() ? openat(dir.get(), it->path.leaf.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                        : -1);
    Identity id;
    if (!made.ok() || !identity_of_fd(made.get(), &id) || id != it->id ||
        !set_times(made.get(), it->status))
      ok = false;
  }
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

int64_t Snapshot::append_file(int fd, uint64_t expected) {
  if (!last_ && !start()) return -1;
  int64_t total = 0;
  for (;;) {
    if (last_->room() == 0 && !add_block(kBlockSize)) return -1;
    // One byte more than expected tells a file that grew; more is never read.
    uint64_t want = expected + 1 - uint64_t(total);
    size_t chunk = want < last_->room() ? size_t(want) : last_->room();
    ssize_t n = read(fd, last_->data() + last_->fill, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return total;
    last_->fill += uint32_t(n);
    total += n;
    if (uint64_t(total) > expected) return total;
  }
}

void Snapshot::complete() {
  for (SnapshotBlock* block = first_; block; block = block->next) {
    block->capacity = block->fill;
    block->fill = 0;
  }
}

bool snapshot_tree(Snapshot& snapshot, const std::string& path) {
  SnapshotVisitor visitor(snapshot);
  DirectoryIds open_dirs;
  return walk_entry(visitor, path, open_dirs);
}

// Whether a snapshot of the store at path, with the reserve, fits in the memory left.
static bool snapshot_fits_in_memory(const std::string& path) {
  uint64_t available = available_memory();
  if (available <= kMemoryReserve) return false;
  uint64_t budget = (available - kMemoryReserve) / 9 * 8;
  SizeVisitor sizes(budget);
  DirectoryIds open_dirs;
  return walk_entry(sizes, path, open_dirs);
}

// The store to keep: /flash/kest/store when it can be reached (links followed), else
// /flash/rw/store when there is an entry of that name (even a link); "" when neither.
static std::string choose_store() {
  EntryPath kest, rw;
  struct stat st;
  split_entry_name("kest/store", &kest);
  split_entry_name("rw/store", &rw);
  if (stat_entry(Target::flash(), kest, &st) == 0) return "/flash/kest/store";
  DirFd dir = open_parent(Target::flash(), rw, false, 0);
  if (dir.ok() && fstatat(dir.get(), rw.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    return "/flash/rw/store";
  return "";
}

std::unique_ptr<Snapshot> snapshot_old_config(System& system, const TargetDisk& disk) {
  if (!mount_target(system, disk, false)) {
    out_printf("WARNING: couldn't keep config - couldn't mount file system\n");
    return nullptr;
  }
  std::unique_ptr<Snapshot> snapshot;
  const std::string store = choose_store();
  if (!store.empty()) {
    begin_progress("Reading old configuration...");
    // Reading a store larger than the memory left would end in the kernel killing the
    // installer, and with it the machine: its size is added up before anything is read.
    if (snapshot_fits_in_memory(store)) snapshot.reset(new (std::nothrow) Snapshot);
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
