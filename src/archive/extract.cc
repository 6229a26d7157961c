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
  bool create(int dir, const EntryPath& path, const std::string& name,
              const std::string& recorded, const FileRecordHeader& record);
  // Makes room at path: an entry this extraction made earlier is replaced, anything else is
  // moved aside so that it can be put back if the installation fails. False when the move
  // could not be noted down (reported as a create failure of name).
  bool make_room(int dir, const RecordedPath& path, const std::string& recorded,
                 const std::string& name);
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
  std::set<std::string> created_;
  std::vector<std::string> cached_parents_;
  DirFd cached_dir_;
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

bool Extractor::entry(const FileRecordHeader& record, const std::string& name) {
  RecordedPath recorded;
  recorded.relative = target_.relative;
  if (!split_entry_name(name, &recorded.path)) return broken();
  recorded.path.parents.insert(recorded.path.parents.begin(), under_.begin(), under_.end());
  const EntryPath& path = recorded.path;
  const std::string text = recorded.text();

  // Entries of one directory follow each other: keep its handle for the next one.
  int parent_error = 0;
  if (!cached_dir_.ok() || cached_parents_ != path.parents) {
    std::vector<EntryPath> made;
    cached_dir_ = open_parent(target_, path, true, kParentMode, &made);
    parent_error = errno;
    for (const EntryPath& m : made) sink_.made_directory(RecordedPath{target_.relative, m});
    cached_parents_ = cached_dir_.ok() ? path.parents : std::vector<std::string>();
  }
  const DirFd& dir = cached_dir_;

  if (record.skip) return skip_content(record.size);
  if (!dir.ok()) return create_failed(name, parent_error);

  // What is there, a link at the entry followed inside the target.
  struct stat st;
  bool present = fstatat(dir.get(), path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (present && S_ISLNK(st.st_mode)) present = stat_entry(target_, path, &st) == 0;
  if (present) {
    if (S_ISDIR(st.st_mode) && (record.mode & kTypeMask) == kTypeDirectory)
      return skip_content(record.size);
    if (sink_.keep_existing(text)) return skip_content(record.size);
    if (!make_room(dir.get(), recorded, text, name)) return false;
  } else if (fstatat(dir.get(), path.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A link that leads nowhere counts as absent, but nothing may be written through it.
    if (!make_room(dir.get(), recorded, text, name)) return false;
  }
  if ((record.mode & kTypeMask) != kTypeDirectory && !created_.count(text) &&
      !sink_.creating(text))
    return create_failed(name, errno);
  if (!create(dir.get(), path, name, text, record)) return false;
  sink_.progress();
  return true;
}

bool Extractor::make_room(int dir, const RecordedPath& path, const std::string& recorded,
                          const std::string& name) {
  const std::string& leaf = path.path.leaf;
  struct stat st;
  // A directory stays where it is: creating the entry then fails, and nothing is lost.
  if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
    return true;
  if (created_.count(recorded)) {
    // An entry of this very package, written again: the later one wins.
    unlinkat(dir, leaf.c_str(), 0);
    return true;
  }
  std::string backup = backup_name(dir);
  if (!sink_.moving_aside(path, backup)) return create_failed(name, errno);
  if (renameat(dir, leaf.c_str(), dir, backup.c_str()) == 0) sink_.moved_aside(path, backup);
  return true;
}

bool Extractor::create(int dir, const EntryPath& path, const std::string& name,
                       const std::string& recorded, const FileRecordHeader& record) {
  const char* leaf = path.leaf.c_str();
  const uint16_t type = record.mode & kTypeMask;
  const mode_t permissions = record.mode & 07777;
  const uint32_t size = record.size;
  struct timespec times[2] = {{time_t(record.mtime), 0}, {time_t(record.mtime), 0}};
  auto made = [&] {
    created_.insert(recorded);
    sink_.created(recorded);
  };

  if (type == kTypeSymlink) {
    std::string target;
    if (!read_declared(*data_, size, &target)) return broken();
    if (symlinkat(target.c_str(), dir, leaf) != 0) return create_failed(name, errno);
    made();
    fchownat(dir, leaf, record.uid, record.gid, AT_SYMLINK_NOFOLLOW);
    return true;
  }

  if (type == kTypeRegular) {
    int fd = openat(dir, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return create_failed(name, errno);
    made();
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
    if (mkdirat(dir, leaf, permissions & 0777) != 0) return create_failed(name, errno);
    sink_.made_directory(RecordedPath{target_.relative, path});
    dir_times_.push_back({path, record.mtime});
  } else if (type == kTypeCharDevice || type == kTypeBlockDevice) {
    std::string number;
    if (size != 4 || !read_declared(*data_, 4, &number)) return broken();
    dev_t device = dev_t(load_le32(reinterpret_cast<const uint8_t*>(number.data())));
    if (mknodat(dir, leaf, type | (permissions & 0777), device) != 0)
      return create_failed(name, errno);
    made();
  } else if (type == kTypeFifo) {
    if (!skip_bytes(*data_, size)) return broken();
    if (mkfifoat(dir, leaf, permissions & 0777) != 0) return create_failed(name, errno);
    made();
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
