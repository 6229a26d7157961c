// The tree a package is installed into, and every write and delete below it.
//
// A Target is where an installation writes: its root directory and how the entries are
// recorded in the package's files list. A RecordedPath is one such recorded entry; its text
// form is made and read only here. The way to an entry resolves symbolic links as if the
// target's root were the root directory: a link inside the target works as the packages
// expect (lib -> usr/lib, or -> /usr/lib), and no link, whether an archive planted it or it
// was on the disk before, can lead out of the root (".." stops at the root, an absolute
// target starts at it).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// An entry name split into the directories above it and its last component.
struct EntryPath {
  std::vector<std::string> parents;
  std::string leaf;
};

// Splits a stored entry name. Empty components and "." are dropped; false for a name that
// is empty, holds a NUL byte, a newline or a ".." component, or has no last component.
bool split_entry_name(std::string_view name, EntryPath* path);

// Where an installation writes.
struct Target {
  std::string root;       // installer path of the root directory (through the root prefix)
  bool relative = false;  // entries are recorded as "./..." instead of "/..."

  // The target disk mounted at /flash: entries are recorded as "/etc/x".
  static Target flash() { return Target{"/flash", false}; }
  // The installer's own root file system (the single-package mode): recorded as "./etc/x".
  static Target running_system() { return Target{"/", true}; }
  // The host path of the root directory.
  std::string host_root() const;
};

// An installed entry as a package's files list records it: the target it was installed into
// and its path below that target's root.
struct RecordedPath {
  bool relative = false;  // below Target::running_system(), else below Target::flash()
  EntryPath path;

  Target target() const { return relative ? Target::running_system() : Target::flash(); }
  // "/" (or "./") followed by the components joined by "/".
  std::string text() const;
  // Reads a recorded path: one that begins with "./" lies below the running system's root,
  // any other below /flash. False for a path split_entry_name refuses.
  static bool parse(std::string_view text, RecordedPath* out);
};

// An entry on a file system, as the entry itself tells: its device and inode.
struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  static Identity of(const struct stat& st) { return Identity{st.st_dev, st.st_ino}; }
  bool operator==(const Identity& o) const { return dev == o.dev && ino == o.ino; }
  bool operator!=(const Identity& o) const { return !(*this == o); }
  bool operator<(const Identity& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
  // "<dev>:<ino>" in decimal, and back; parse is false for any other text.
  std::string text() const;
  static bool parse(std::string_view text, Identity* out);
};
// The identity of the open file fd; false when fstat fails.
bool identity_of_fd(int fd, Identity* id);
// The identity of the entry leaf of directory dir, a link there not followed; false (errno
// set) when there is none.
bool identity_at(int dir, const std::string& leaf, Identity* id, bool* directory = nullptr);
// Whether the directory dir is the directory ancestor or lies anywhere below it, as its ".."
// entries tell, up to the directory stop (when given) or the root of its file system.
bool lies_below(int dir, const Identity& ancestor, const Identity* stop = nullptr);

// A directory handle on the way to an entry, closed on destruction.
class DirFd {
 public:
  DirFd() = default;
  explicit DirFd(int fd) : fd_(fd) {}
  ~DirFd();
  DirFd(DirFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirFd& operator=(DirFd&& other) noexcept;
  DirFd(const DirFd&) = delete;
  DirFd& operator=(const DirFd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Opens the directory that holds path's leaf below target's root, descending through
// path.parents. With create, missing directories are made with mode (before the umask); a
// link whose destination is missing is not made good. may_make_in, when given, is asked
// before each directory is made, with the directory it goes into and the path it will have:
// false stops with errno EPERM. On failure the result is not ok() and errno tells why. made,
// when given, receives each directory made, outermost first.
DirFd open_parent(const Target& target, const EntryPath& path, bool create, mode_t mode,
                  std::vector<EntryPath>* made = nullptr,
                  const std::function<bool(int, const EntryPath&)>& may_make_in = nullptr);
// The directory that holds the recorded entry, but only when it is still the directory with
// the identity dir (an entry is undone where it was made, not wherever its path leads now).
DirFd open_parent_if(const RecordedPath& entry, const Identity& dir);
// stat() of the entry at path below target's root, a link at its end followed inside the
// target as well. 0, or -1 with errno (ENOENT for a link that leads nowhere).
int stat_entry(const Target& target, const EntryPath& path, struct stat* st);
// Opens the entry at path below target's root with flags (O_CLOEXEC is added), links on the
// way and at its end followed inside the target; with O_NOFOLLOW a link at the end is not
// followed (ELOOP, or the link itself with O_PATH). The descriptor, or -1 with errno.
int open_entry(const Target& target, const EntryPath& path, int flags);

// Links are resolved by the kernel (openat2 with RESOLVE_IN_ROOT) where it can, otherwise
// by a walk in user space to the same result. Tests choose the walk to try it too.
enum class LinkResolution { kKernel, kWalk };
void set_link_resolution(LinkResolution how);
// What is used: kWalk as well when the kernel lacks openat2.
LinkResolution link_resolution();

// The recorded entries (text forms that cannot be read are left out) in an order in which
// they can be removed or moved one at a time: first every entry that is not a link, then the
// links, since the way to an entry may lead through a link of the same package.
std::vector<RecordedPath> removal_order(const std::set<std::string>& recorded);

// A name that is free in directory dir, for an entry moved aside: ".kpk-replaced-..."
std::string backup_name(int dir);
// Whether name is one backup_name() makes.
bool is_backup_name(const std::string& name);
// Deletes the recorded entry (never a directory). Failures are ignored.
void remove_entry(const RecordedPath& entry);
// Deletes the entry made in directory dir with the identity self, if it is still there.
// False (errno set) when it is there and cannot be deleted, or when whether it is there cannot
// be told (an error other than ENOENT on the way).
bool remove_made_entry(const RecordedPath& entry, const Identity& dir, const Identity& self);
// Deletes the directory made in directory dir with the identity self if it is still there
// and empty. Failures are ignored.
void remove_made_directory(const RecordedPath& entry, const Identity& dir, const Identity& self);
// Puts an entry that was moved aside under backup in the directory dir back in its place; an
// empty directory made there meanwhile goes first. True when it is back, or the backup (or its
// directory) is gone already; false with errno when it could not be put back.
bool restore_entry(const RecordedPath& entry, const Identity& dir, const std::string& backup);
// Deletes what was moved aside under backup in the directory dir: a file, or a directory with
// the files in it. True when it is gone (or it or its directory was gone already); false with
// errno.
bool drop_backup(const RecordedPath& entry, const Identity& dir, const std::string& backup);
