#include "pkgmgr/database.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "system/target_tree.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/messages.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/recovery.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

// The largest record file the loader reads. A real record is far smaller (a files list of
// 100,000 paths fits); the limit keeps a damaged or planted file from exhausting memory.
constexpr uint64_t kMaxRecordFile = 4u << 20;

// One record file opened for reading. Only regular files are read, without blocking on the
// open (a FIFO or device in place of a record would otherwise hang the loader or never end),
// and no more than kMaxRecordFile bytes of them.
class RecordFileBuf : public std::streambuf {
 public:
  explicit RecordFileBuf(const std::string& host_path) {
    fd_ = open(host_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      if (errno != ENOENT && errno != ENOTDIR) error_ = errno;
      return;
    }
    // Anything but a regular file counts as absent (a planted FIFO or device is not read).
    struct stat st;
    const bool stated = fstat(fd_, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
      error_ = stated ? 0 : errno;
      close(fd_);
      fd_ = -1;
    }
  }
  ~RecordFileBuf() override {
    if (fd_ >= 0) close(fd_);
  }
  RecordFileBuf(const RecordFileBuf&) = delete;
  RecordFileBuf& operator=(const RecordFileBuf&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // More bytes followed the part that was read.
  bool too_long() const { return too_long_; }
  // The errno of a file that is there but could not be opened or read; 0 when none.
  int error() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (fd_ < 0) return traits_type::eof();
    if (left_ == 0) {
      char probe;
      if (read_some(&probe, 1) > 0) too_long_ = true;
      return traits_type::eof();
    }
    size_t want = left_ < sizeof buffer_ ? size_t(left_) : sizeof buffer_;
    size_t got = read_some(buffer_, want);
    if (got == 0) return traits_type::eof();
    left_ -= got;
    setg(buffer_, buffer_, buffer_ + got);
    return traits_type::to_int_type(*gptr());
  }

 private:
  size_t read_some(char* out, size_t n) {
    for (;;) {
      ssize_t got = read(fd_, out, n);
      if (got >= 0) return size_t(got);
      if (errno != EINTR) {
        error_ = errno;
        return 0;
      }
    }
  }

  int fd_ = -1;
  uint64_t left_ = kMaxRecordFile;
  bool too_long_ = false;
  int error_ = 0;
  char buffer_[4096];
};

class RecordFile : public std::istream {
 public:
  // path is an installer path; it goes through the root prefix.
  explicit RecordFile(const std::string& path)
      : std::istream(nullptr), buf_(std::make_unique<RecordFileBuf>(root_path(path))) {
    rdbuf(buf_.get());
    if (!buf_->is_open()) setstate(std::ios_base::badbit);
  }
  bool is_open() const { return buf_->is_open(); }
  bool too_long() const { return buf_->too_long(); }
  int error() const { return buf_->error(); }

 private:
  std::unique_ptr<RecordFileBuf> buf_;
};

// Keeps the first errno of the record files read: a record that is there but cannot be read
// must not pass for one that is not.
void note_error(const RecordFile& file, int* error) {
  if (error && *error == 0) *error = file.error();
}

// Reads one relation list. False when an entry is cut short (the entries before it are
// kept) or when the file is longer than the loader reads.
bool read_relations(const std::string& path, bool with_priority, std::vector<PackageRef>& list,
                    int* error) {
  RecordFile in(path);
  note_error(in, error);
  if (!in.is_open()) return true;
  for (;;) {
    PackageRef ref;
    if (!(in >> ref.name)) break;
    in >> ref.min_version >> ref.max_version;
    if (with_priority) in >> ref.priority;
    if (!in) {
      note_error(in, error);
      return false;
    }
    list.push_back(std::move(ref));
  }
  note_error(in, error);
  return !in.too_long();
}

// Reads the first word of a file; false when the file cannot be opened or holds none.
bool read_word(const std::string& path, std::string& word, int* error = nullptr) {
  RecordFile in(path);
  bool read = in.is_open() && bool(in >> word);
  note_error(in, error);
  return read;
}

// Opens the directory that holds path (an installer path) without following a link in its
// place: a record directory, or a schedule's directory, that is a symbolic link leads
// nowhere, so nothing is written or deleted wherever it points. -1 with errno (ENOTDIR for a
// link) when it cannot be opened.
int open_holder(const std::string& path, std::string* leaf) {
  size_t slash = path.rfind('/');
  *leaf = path.substr(slash + 1);
  return open(root_path(path.substr(0, slash)).c_str(),
              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Creates (or truncates) a record file and writes text into it. A symbolic link in the place
// of the file or of its directory is not followed. False with *error set when anything fails.
bool write_file(const std::string& path, const std::string& text, int* error) {
  std::string leaf;
  int dir = open_holder(path, &leaf);
  if (dir < 0) {
    *error = errno;
    return false;
  }
  int fd = openat(dir, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  *error = errno;
  close(dir);
  if (fd < 0) return false;
  *error = write_all(fd, text.data(), text.size());
  if (*error != 0) {
    close(fd);
    return false;
  }
  if (close(fd) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

// Deletes a record file; 0 when it is gone (or never was), else the errno.
int remove_file(const std::string& path) {
  std::string leaf;
  int dir = open_holder(path, &leaf);
  if (dir < 0) return errno == ENOENT ? 0 : errno;
  int error = unlinkat(dir, leaf.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
  close(dir);
  return error;
}

std::string relations_text(const std::vector<PackageRef>& list, bool with_priority) {
  std::string text;
  for (const PackageRef& ref : list) {
    text += ref.name;
    text += ' ';
    text += std::to_string(ref.min_version);
    text += ' ';
    text += std::to_string(ref.max_version);
    if (with_priority) {
      text += ' ';
      text += std::to_string(ref.priority);
    }
    text += '\n';
  }
  return text;
}

// Writes one record file; reports a failure.
bool put_record_file(const Package& package, MessageChannel& messages, const std::string& dir,
                     const char* file, const std::string& text) {
  int error = 0;
  if (write_file(dir + file, text, &error)) return true;
  messages.report_create_failure(display_label(package), std::string("meta/") + file, error);
  return false;
}

}  // namespace

namespace {

bool is_word(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c == 0x7F) return false;
  return true;
}

}  // namespace

bool valid_package_name(const std::string& name) {
  return is_word(name) && name[0] != '.' && name.find('/') == std::string::npos;
}

bool valid_relation_name(const std::string& name) { return is_word(name); }

bool valid_record_names(const PackageInfo& package) {
  if (!valid_package_name(package.name)) return false;
  for (const auto* list : {&package.depends, &package.provides, &package.conflicts})
    for (const PackageRef& ref : *list)
      if (!valid_relation_name(ref.name)) return false;
  return true;
}

std::string record_dir(const Package& package) { return kRepository + package.name + "/"; }

bool make_dirs(const std::string& path) {
  std::string host = root_path(path);
  struct stat st;
  if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;  // the usual case
  // Create every prefix that ends before a slash, then the whole path.
  for (size_t end = 1; end <= host.size(); ++end) {
    if (end < host.size() && host[end] != '/') continue;
    if (host[end - 1] == '/') continue;
    std::string part = host.substr(0, end);
    if (mkdir(part.c_str(), 0770) == 0) continue;
    int error = errno;
    if (stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    errno = error == EEXIST ? ENOTDIR : error;
    return false;
  }
  return true;
}

int load_record(Package& package, const std::string& name) {
  int error = 0;
  package.name = name;
  std::string dir = kRepository + name + "/";
  {
    RecordFile in(dir + "version");
    if (!(in >> package.version >> package.build)) package.pending = PendingAction::Uninstall;
    note_error(in, &error);
  }
  bool complete = read_relations(dir + "deps", false, package.depends, &error);
  complete = read_relations(dir + "provides", true, package.provides, &error) && complete;
  complete = read_relations(dir + "conflicts", false, package.conflicts, &error) && complete;
  if (!complete) package.pending = PendingAction::Uninstall;

  struct stat st;
  package.is_bundle = stat(root_path(dir + "files").c_str(), &st) != 0;
  if (package.is_bundle && errno != ENOENT && errno != ENOTDIR && error == 0) error = errno;
  // Only part of the list was read: remove the package rather than trust it.
  if (!package.is_bundle && !read_files_record(name, &package.files, &error))
    package.pending = PendingAction::Uninstall;

  std::string bundle;
  if (read_word(dir + "bundle", bundle, &error)) package.bundle = PackageRef{bundle, 0, 0, 0};

  package.user_forced = false;
  RecordFile disabled(dir + "disabled");
  note_error(disabled, &error);
  if (disabled.is_open()) {
    std::string first;
    std::getline(disabled, first);
    package.disabled = true;
    package.user_forced = first != "auto";
  } else {
    package.disabled = false;
    RecordFile enabled(dir + "enabled");
    note_error(enabled, &error);
    if (enabled.is_open()) package.user_forced = true;
  }

  std::string schedule = "/ram/pdb/" + name + "/schedule";
  std::string word;
  if (read_word(schedule, word)) {
    if (word == "uninstall") {
      package.pending = PendingAction::Uninstall;
    } else if (word == "enable") {
      package.pending = PendingAction::Enable;
      package.user_forced = true;
    } else if (word == "disable") {
      package.pending = PendingAction::Disable;
      package.user_forced = true;
    }
  }
  remove_file(schedule);
  return error;
}

bool read_files_record(const std::string& name, std::set<std::string>* files, int* error) {
  RecordFile in(kRepository + name + "/files");
  std::string line;
  while (std::getline(in, line)) {
    // Every path is kept in the spelling the extraction records; a line that names no
    // path below the target (empty, a NUL byte, a ".." component) is dropped, so that
    // removing the package can never reach anything else.
    RecordedPath path;
    if (RecordedPath::parse(line, &path)) files->insert(path.text());
  }
  note_error(in, error);
  return !in.too_long();
}

bool write_record(const Package& package, MessageChannel& messages) {
  const std::string dir = record_dir(package);
  auto put = [&](const char* file, const std::string& text) {
    return put_record_file(package, messages, dir, file, text);
  };

  if (!put("version", std::to_string(package.version) + " " + std::to_string(package.build) + "\n"))
    return false;

  if (!put("deps", relations_text(package.depends, false))) return false;
  // An empty list is stored as an absent file; one left from an earlier record goes.
  if (package.provides.empty())
    remove_file(dir + "provides");
  else if (!put("provides", relations_text(package.provides, true)))
    return false;
  if (package.conflicts.empty())
    remove_file(dir + "conflicts");
  else if (!put("conflicts", relations_text(package.conflicts, false)))
    return false;

  if (package.bundle.name.empty())
    remove_file(dir + "bundle");
  else if (!put("bundle", package.bundle.name + "\n"))
    return false;

  if (package.disabled) {
    if (!put("disabled", package.user_forced ? "user\n" : "auto\n")) return false;
  } else {
    remove_file(dir + "disabled");
  }
  if (!package.disabled && package.user_forced) {
    if (!put("enabled", "user\n")) return false;
  } else {
    remove_file(dir + "enabled");
  }

  if (package.is_bundle) {
    // A bundle is known by the absence of a files list.
    remove_file(dir + "files");
  } else {
    std::string text;
    for (const std::string& path : package.files) {
      if (path.empty()) continue;
      text.append(path, path.front() == '/' ? 1 : 0, std::string::npos);
      text += '\n';
    }
    if (!put("files", text)) return false;
  }

  if (package.has_image) remove_file(dir + "oninstall");
  return true;
}

void remove_record(const Package& package) {
  std::string dir = root_path(record_dir(package));
  dir.pop_back();
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // A link in the place of the record directory goes itself; what it points to stays.
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(dir.c_str());
    return;
  }
  DIR* handle = fdopendir(fd);
  if (!handle) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(handle))
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  for (const std::string& name : names)
    if (unlinkat(fd, name.c_str(), 0) != 0) unlinkat(fd, name.c_str(), AT_REMOVEDIR);
  closedir(handle);
  rmdir(dir.c_str());
}

int open_record_dir(const Package& package) {
  std::string dir = root_path(record_dir(package));
  dir.pop_back();
  return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool mark_disabled(Package& package) {
  // A package without a record of its own (a bundle's stand-in for a listed member has no
  // name) changes state in memory only: its record directory would be the repository itself.
  int error = 0;
  if (valid_package_name(package.name)) {
    std::string dir = record_dir(package);
    error = remove_file(dir + "enabled");
    if (error == 0) write_file(dir + "disabled", package.user_forced ? "user\n" : "auto\n", &error);
  }
  package.disabled = true;
  package.pending = PendingAction::None;
  errno = error;
  return error == 0;
}

bool mark_enabled(Package& package) {
  int error = 0;
  if (valid_package_name(package.name)) {  // as in mark_disabled
    std::string dir = record_dir(package);
    error = remove_file(dir + "disabled");
    if (error == 0 && package.user_forced)
      write_file(dir + "enabled", "user\n", &error);
    else if (error == 0)
      error = remove_file(dir + "enabled");
  }
  package.disabled = false;
  package.pending = PendingAction::None;
  errno = error;
  return error == 0;
}

void open_repository(PackageManager& manager, bool quiet) {
  manager.set_quiet(quiet);
  recover_journals();
  DIR* handle = opendir(root_path(kRepository).c_str());
  if (!handle) {
    manager.warning("could not open repo");
    return;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(handle))
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  closedir(handle);
  for (const std::string& name : names) {
    auto package = std::make_unique<Package>();
    if (int error = load_record(*package, name)) {
      manager.error("could not read the record of %s: %s", name.c_str(), strerror(error));
      manager.set_database_unreadable();
    }
    manager.installed().push_back(std::move(package));
  }
}
