#include "pkgmgr/install_child.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "archive/package_walk.h"
#include "archive/part_reader.h"
#include "archive/version_text.h"
#include "archive/part_type.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/spool.h"
#include "system/child_process.h"
#include "system/child_slot.h"
#include "system/fd_stream.h"
#include "system/output.h"
#include "system/root.h"

namespace {

// Reads descriptor 0 to its end: the process writing the archive never meets a closed pipe.
void drain_input() {
  char rest[65536];
  for (ssize_t n; (n = read(0, rest, sizeof rest)) != 0;)
    if (n < 0 && errno != EINTR) break;
}

// Where the first pass copies the archive: the spool, with a progress line that follows the
// bytes as they arrive (an archive from the network takes its time), named by the package or
// bundle the archive's first part header names.
class SpoolWriter : public std::streambuf {
 public:
  SpoolWriter(PackageManager& pm, int fd) : pm_(pm), out_(fd, false) {}
  bool flush() { return out_.pubsync() == 0; }
  int error() const { return out_.error(); }
  bool shown() const { return shown_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize n) override {
    if (head_.size() < kHead) head_.append(data, size_t(std::min<std::streamsize>(n, kHead)));
    done_ += uint64_t(n);
    if (done_ >= next_ && head_.size() >= kHead) {
      next_ = done_ + kStep;
      show();
    }
    return out_.sputn(data, n);
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

 private:
  // The file header, the first part header and the name and version of its header record.
  static constexpr size_t kHead = kFileHeaderSize + kPartHeaderSize + 20;
  static constexpr uint64_t kStep = 65536;

  void show() {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(head_.data());
    PackageInfo named;
    size_t n = 0;
    while (n < 16 && h[14 + n] != 0) ++n;
    named.name.assign(head_.data() + 14, n);
    named.version = load_le32(h + 30);
    pm_.show_progress_bar("checking " + package_label(named), done_,
                          uint64_t(load_le32(h + 4)) + kFileHeaderSize);
    shown_ = true;
  }

  PackageManager& pm_;
  FdOutBuf out_;
  std::string head_;
  uint64_t done_ = 0;
  uint64_t next_ = kStep;
  bool shown_ = false;
};

// The first pass: reads the whole archive on descriptor 0 into the spool while the walk
// decides what in it is genuine. Whatever the walk decides, the input is read to its end, so
// that the process writing it never meets a closed pipe. False (reported) when the spool
// could not take it all.
bool spool_and_walk(PackageManager& pm, Spool& spool, WalkMode mode, WalkedArchive* walked) {
  FdInStream input(0);
  SpoolWriter copy(pm, spool.fd());
  {
    PartReader r(input, true, &copy);
    walk_archive(r, mode, walked);
  }
  char rest[65536];
  for (std::streamsize n; (n = input.rdbuf()->sgetn(rest, sizeof rest)) > 0;)
    copy.sputn(rest, n);
  copy.flush();
  if (copy.shown()) pm.clear_progress();  // the second pass draws a line of its own
  if (copy.error() == 0 && lseek(spool.fd(), 0, SEEK_SET) == 0) return true;
  int error = copy.error() ? copy.error() : errno;
  std::string label = walked->bundle ? package_label(walked->bundle_info)
                      : !walked->packages.empty() ? walked_label(walked->packages.front())
                                                  : pm.unreadable_label(PackageInfo(), nullptr);
  pm.report_create_failure(label, "image", error);
  return false;
}

// Opens the spool on the target or in private memory; when it cannot be made, says so and
// still reads the input to its end.
bool open_spool(Spool& spool, bool on_target) {
  if (on_target ? spool.open_on_target() : spool.open_private()) return true;
  out_printf("ERROR: could not open image\n");
  drain_input();
  return false;
}

InstallResult install_image_mode(PackageManager& pm) {
  Spool spool;
  WalkedArchive walked;
  if (!open_spool(spool, true) || !spool_and_walk(pm, spool, WalkMode::kImage, &walked))
    return InstallResult::kFailed;
  std::string image_name;
  InstallResult result;
  {
    FdInStream input(spool.fd());
    result = pm.install_archive(input, kUpgrade, Choices(), &image_name, walked);
  }
  if (result == InstallResult::kInstalled && !image_name.empty() &&
      !spool.keep_as(image_name + "image")) {
    out_printf("ERROR: could not save package image\n");
    result = InstallResult::kImageNotSaved;
  }
  return result;
}

InstallResult install_single_package(PackageManager& pm) {
  Spool spool;
  WalkedArchive walked;
  if (!open_spool(spool, false) || !spool_and_walk(pm, spool, WalkMode::kSinglePackage, &walked))
    return InstallResult::kFailed;
  FdInStream input(spool.fd());
  PartReader r(input, false);  // judged already, and nobody else can change the spool
  want_installation_parts(r, WalkMode::kSinglePackage);
  r.next_part();
  const uint32_t at = r.position();
  Package p;
  if (!read_package_info(p, r)) {
    pm.report_broken(pm.unreadable_label(p, nullptr));
    return InstallResult::kFailed;
  }
  const WalkedPackage* verdict = walked.at(at);
  if (!verdict || !verdict->genuine()) {
    pm.report_broken(package_label(p));  // refused before anything is written
    return InstallResult::kFailed;
  }
  return install_package(pm, p, r, Target::running_system(), verdict) ? InstallResult::kInstalled
                                                                      : InstallResult::kFailed;
}

}  // namespace

InstallResult install_child_body(const InstallChildRequest& request) {
  if (chdir(root_path("/").c_str()) != 0) return InstallResult::kFailed;
  PackageManager pm;
  pm.set_archive_name(request.archive_name);
  open_repository(pm, request.quiet);
  if (pm.database_unreadable()) {
    // What is installed cannot all be known: nothing is changed (reported by the loader).
    drain_input();
    return InstallResult::kFailed;
  }
  return request.image ? install_image_mode(pm) : install_single_package(pm);
}

namespace {

ChildFunction child_main(const InstallChildRequest& request) {
  return [request] {
    InstallResult result = install_child_body(request);
    return request.exit_with_result && result != InstallResult::kInstalled ? 1 : 0;
  };
}

}  // namespace

FILE* start_install_child(const InstallChildRequest& request) {
  ChildOptions options;
  options.input = ChildInput::kPipe;
  return start_slot_child(options, child_main(request));
}

pid_t start_install_child_on(const InstallChildRequest& request, int fd) {
  ChildOptions options;
  options.input = ChildInput::kDescriptor;
  options.input_fd = fd;
  return spawn_child(options, child_main(request), nullptr);
}

InstallChildRequest InstallChildRequest::onto_target() {
  InstallChildRequest request;
  request.image = true;
  request.quiet = false;
  request.exit_with_result = true;
  return request;
}

InstallChildRequest InstallChildRequest::drivers() {
  InstallChildRequest request;
  request.image = false;
  request.quiet = true;
  request.exit_with_result = true;
  return request;
}

InstallChild::InstallChild(const InstallChildRequest& request)
    : stream_(start_install_child(request)) {}

InstallChild::~InstallChild() {
  if (stream_) finish();
}

bool InstallChild::write(const void* data, size_t size) {
  if (!stream_ || write_failed_) return false;
  if (size > 0 && fwrite(data, size, 1, stream_) != 1) write_failed_ = true;
  return !write_failed_;
}

bool InstallChild::finish() {
  if (!stream_) return false;
  int status = finish_child(stream_);
  stream_ = nullptr;
  return !write_failed_ && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

FILE* start_install_child(bool image, bool quiet) {
  InstallChildRequest request;
  request.image = image;
  request.quiet = quiet;
  return start_install_child(request);
}
