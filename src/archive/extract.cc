#include "archive/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/inflate_reader.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive/stream_read.h"
#include "system/fd_stream.h"

namespace {

constexpr size_t kCopyChunk = 16384;
constexpr mode_t kParentMode = 0770;

bool skip_bytes(std::istream& in, uint32_t n) {
  if (n == 0) return true;
  in.seekg(std::streamoff(n), std::ios_base::cur);
  return !in.fail();
}

struct DirTime {
  EntryPath path;
  uint32_t mtime;
};

class Extractor {
 public:
  Extractor(PartReader& r, const Target& target, std::string_view under, ExtractionSink& sink)
      : r_(r), target_(target), sink_(sink) {
    EntryPath below;
    if (split_entry_name(under, &below)) {
      under_ = std::move(below.parents);
      under_.push_back(std::move(below.leaf));
    }
  }

  bool run();

 private:
  bool entry(const FileRecordHeader& record, const std::string& name);
  // Opens (making what is missing) the directory the entry goes into, as the cached handle.
  // False after the failure was reported, unless quietly (then nothing is reported).
  bool enter_parent(const RecordedPath& recorded, const std::string& name, bool quietly);
  bool create(const RecordedPath& recorded, const std::string& name,
              const FileRecordHeader& record);
  // Makes room at the entry: an entry this extraction made earlier is replaced, anything else
  // is moved aside so that it can be put back if the installation fails. False when the move
  // could not be noted down (reported as a create failure of name).
  bool make_room(const RecordedPath& recorded, const struct stat& existing,
                 const std::string& name);
  void made(const RecordedPath& recorded, int dir, const std::string& leaf);
  bool broken() {
    sink_.broken();
    return false;
  }
  bool create_failed(const std::string& name, int error) {
    sink_.create_failed(name, error);
    return false;
  }
  bool skip_content(uint32_t size) { return skip_bytes(*data_, size) ? true : broken(); }

  PartReader& r_;
  const Target& target_;
  ExtractionSink& sink_;
  std::vector<std::string> under_;
  std::unique_ptr<InflateReader> data_;
  std::vector<DirTime> dir_times_;
  std::set<Identity> created_;  // what this extraction made (but directories)
  std::vector<std::string> cached_parents_;
  DirFd cached_dir_;
  Identity cached_id_;
};

bool Extractor::run() {
  data_ = std::make_unique<InflateReader>(r_);
  for (;;) {
    uint8_t header[kFileRecordHeaderSize];
    if (!data_->read(reinterpret_cast<char*>(header), kFileRecordHeaderSize)) break;
    FileRecordHeader record = decode_file_record_header(header);
    std::string name;
    if (!read_declared(*data_, record.name_length, &name)) return broken();
    if (!entry(record, name)) return false;
  }
  for (const DirTime& d : dir_times_) {
    DirFd dir = open_parent(target_, d.path, false, 0);
    struct timespec times[2] = {{time_t(d.mtime), 0}, {time_t(d.mtime), 0}};
    if (dir.ok()) utimensat(dir.get(), d.path.leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  return true;
}

bool Extractor::enter_parent(const RecordedPath& recorded, const std::string& name,
                             bool quietly) {
  const EntryPath& path = recorded.path;
  // Entries of one directory follow each other: keep its handle for the next one.
  if (cached_dir_.ok() && cached_parents_ == path.parents) return true;
  cached_parents_.clear();
  std::vector<EntryPath> made;
  bool refused = false;
  int noted = 0;  // the errno when the directory to make could not be noted down
  auto may_make_in = [&](int dir, const EntryPath& making) {
    refused = !sink_.accepts_directory(dir);
    Identity dir_id;
    if (!refused && (!identity_of_fd(dir, &dir_id) ||
                     !sink_.making_directory(dir_id, RecordedPath{target_.relative, making})))
      noted = errno ? errno : EIO;
    return !refused && noted == 0;
  };
  cached_dir_ = open_parent(target_, path, true, kParentMode, &made, may_make_in);
  int error = noted ? noted : errno;
  for (const EntryPath& m : made) {
    RecordedPath dir{target_.relative, m};
    DirFd holder = open_parent(target_, m, false, 0);
    if (holder.ok()) this->made(dir, holder.get(), m.leaf);
  }
  if (cached_dir_.ok()) {
    error = 0;
    if (!refused && !sink_.accepts_directory(cached_dir_.get()))
      refused = true;
    else if (!refused && !identity_of_fd(cached_dir_.get(), &cached_id_))
      error = errno ? errno : EIO;
  } else if (error == 0) {
    error = ENOENT;
  }
  if (refused || error != 0) {
    cached_dir_ = DirFd();
    if (quietly) return false;
    return refused ? broken() : create_failed(name, error);
  }
  cached_parents_ = path.parents;
  return true;
}

void Extractor::made(const RecordedPath& recorded, int dir, const std::string& leaf) {
  Identity dir_id, self;
  bool directory = false;
  if (!identity_of_fd(dir, &dir_id) || !identity_at(dir, leaf, &self, &directory)) return;
  if (directory)
    sink_.made_directory(recorded, dir_id, self);
  else
    sink_.created(recorded, dir_id, self);
}

bool Extractor::entry(const FileRecordHeader& record, const std::string& name) {
  RecordedPath recorded;
  recorded.relative = target_.relative;
  if (!split_entry_name(name, &recorded.path)) return broken();
  recorded.path.parents.insert(recorded.path.parents.begin(), under_.begin(), under_.end());
  if (!sink_.accepts_name(recorded.path)) return broken();

  // The parents of a skipped entry are made all the same.
  if (record.skip) {
    enter_parent(recorded, name, true);
    return skip_content(record.size);
  }
  if (!enter_parent(recorded, name, false)) return false;
  const int dir = cached_dir_.get();
  const EntryPath& path = recorded.path;
  const bool directory_record = (record.mode & kTypeMask) == kTypeDirectory;

  // What is there: the entry itself decides, a link at it not followed, except that a link to
  // a directory still holds a directory entry of the archive.
  struct stat st;
  if (fstatat(dir, path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    struct stat through = st;
    bool dangling = false;
    if (S_ISLNK(st.st_mode)) dangling = stat_entry(target_, path, &through) != 0;
    if (directory_record && S_ISDIR(through.st_mode) && !dangling)
      return skip_content(record.size);
    if (!created_.count(Identity::of(st)) &&
        sink_.keep_existing(recorded.text(), st, dangling))
      return skip_content(record.size);
    if (!make_room(recorded, st, name)) return false;
  }
  if (!directory_record && !sink_.creating(cached_id_, recorded))
    return create_failed(name, errno);
  if (!create(recorded, name, record)) return false;
  sink_.progress();
  return true;
}

bool Extractor::make_room(const RecordedPath& recorded, const struct stat& existing,
                          const std::string& name) {
  const int dir = cached_dir_.get();
  const std::string& leaf = recorded.path.leaf;
  // A directory stays where it is: creating the entry then fails, and nothing is lost.
  if (S_ISDIR(existing.st_mode)) return true;
  if (created_.count(Identity::of(existing))) {
    // An entry of this very package, written again: the later one wins.
    unlinkat(dir, leaf.c_str(), 0);
    return true;
  }
  std::string backup = backup_name(dir);
  if (!sink_.moving_aside(cached_id_, recorded, backup)) return create_failed(name, errno);
  if (renameat(dir, leaf.c_str(), dir, backup.c_str()) == 0) {
    sink_.moved_aside(cached_id_, recorded, backup);
    return true;
  }
  return create_failed(name, errno);
}

bool Extractor::create(const RecordedPath& recorded, const std::string& name,
                       const FileRecordHeader& record) {
  const int dir = cached_dir_.get();
  const char* leaf = recorded.path.leaf.c_str();
  const uint16_t type = record.mode & kTypeMask;
  const mode_t permissions = record.mode & 07777;
  const uint32_t size = record.size;
  struct timespec times[2] = {{time_t(record.mtime), 0}, {time_t(record.mtime), 0}};
  auto done = [&](const Identity& self) {
    created_.insert(self);
    sink_.created(recorded, cached_id_, self);
  };
  auto done_at = [&] {
    Identity self;
    if (identity_at(dir, recorded.path.leaf, &self)) done(self);
  };

  if (type == kTypeSymlink) {
    std::string target;
    if (!read_declared(*data_, size, &target)) return broken();
    if (symlinkat(target.c_str(), dir, leaf) != 0) return create_failed(name, errno);
    done_at();
    fchownat(dir, leaf, record.uid, record.gid, AT_SYMLINK_NOFOLLOW);
    return true;
  }

  if (type == kTypeRegular) {
    int fd = openat(dir, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return create_failed(name, errno);
    Identity self;
    if (identity_of_fd(fd, &self)) done(self);
    char chunk[kCopyChunk];
    uint32_t left = size;
    while (left > 0) {
      uint32_t want = left < kCopyChunk ? left : uint32_t(kCopyChunk);
      if (!data_->read(chunk, want)) {
        close(fd);
        return broken();
      }
      if (int error = write_all(fd, chunk, want)) {
        close(fd);
        return create_failed(name, error);
      }
      left -= want;
    }
    fchown(fd, record.uid, record.gid);
    fchmod(fd, permissions);
    futimens(fd, times);
    if (close(fd) != 0) return create_failed(name, errno);
    return true;
  }

  if (type == kTypeDirectory) {
    if (!skip_bytes(*data_, size)) return broken();
    if (!sink_.making_directory(cached_id_, recorded)) return create_failed(name, errno);
    if (mkdirat(dir, leaf, permissions & 0777) != 0) return create_failed(name, errno);
    made(recorded, dir, recorded.path.leaf);
    dir_times_.push_back({recorded.path, record.mtime});
  } else if (type == kTypeCharDevice || type == kTypeBlockDevice) {
    std::string number;
    if (size != 4 || !read_declared(*data_, 4, &number)) return broken();
    dev_t device = dev_t(load_le32(reinterpret_cast<const uint8_t*>(number.data())));
    if (mknodat(dir, leaf, type | (permissions & 0777), device) != 0)
      return create_failed(name, errno);
    done_at();
  } else if (type == kTypeFifo) {
    if (!skip_bytes(*data_, size)) return broken();
    if (mkfifoat(dir, leaf, permissions & 0777) != 0) return create_failed(name, errno);
    done_at();
  } else {
    return broken();
  }
  fchownat(dir, leaf, record.uid, record.gid, AT_SYMLINK_NOFOLLOW);
  fchmodat(dir, leaf, permissions, 0);
  utimensat(dir, leaf, times, AT_SYMLINK_NOFOLLOW);
  return true;
}

}  // namespace

bool extract_files(PartReader& r, const Target& target, std::string_view under,
                   ExtractionSink& sink) {
  Extractor extractor(r, target, under, sink);
  return extractor.run();
}
