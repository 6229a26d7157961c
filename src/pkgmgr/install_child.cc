#include "pkgmgr/install_child.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/package_manager.h"
#include "system/child_process.h"
#include "system/fd_stream.h"
#include "system/output.h"
#include "system/root.h"

namespace {

InstallResult install_image_mode(PackageManager& pm) {
  std::string image_path = root_path("/flash/image");
  int fd = open(image_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    out_printf("ERROR: could not open image\n");
    return InstallResult::kFailed;
  }
  // Held while this child lives: the next run's recovery deletes only an image nobody holds.
  flock(fd, LOCK_EX);
  InstallResult result;
  std::string image_name;
  {
    FdOutBuf image(fd, true);
    FdInStream input(0);
    result = pm.install_archive(input, kUpgrade, Choices(), &image, &image_name);
    image.close();
  }
  if (result == InstallResult::kInstalled && !image_name.empty()) {
    std::string link_path = root_path(image_name + "image");
    if (link(image_path.c_str(), link_path.c_str()) != 0) {
      out_printf("ERROR: could not save package image\n");
      result = InstallResult::kImageNotSaved;
    }
  }
  unlink(image_path.c_str());
  return result;
}

InstallResult install_single_package(PackageManager& pm) {
  FdInStream input(0);
  PartReader r(input, true);
  r.want(PackageHeader);
  r.want(FileData);
  r.want(Signature);
  r.next_part();
  Package p;
  if (!read_package_info(p, r)) {
    pm.report_broken(pm.unreadable_label(p, nullptr));
    return InstallResult::kFailed;
  }
  return install_package(pm, p, r, Target::running_system()) ? InstallResult::kInstalled
                                                             : InstallResult::kFailed;
}

}  // namespace

InstallResult install_child_body(const InstallChildRequest& request) {
  if (chdir(root_path("/").c_str()) != 0) return InstallResult::kFailed;
  PackageManager pm;
  pm.set_archive_name(request.archive_name);
  open_repository(pm, request.quiet);
  return request.image ? install_image_mode(pm) : install_single_package(pm);
}

FILE* start_install_child(const InstallChildRequest& request) {
  ChildOptions options;
  options.input = ChildInput::kPipe;
  return start_slot_child(options, [request] {
    InstallResult result = install_child_body(request);
    return request.exit_with_result && result != InstallResult::kInstalled ? 1 : 0;
  });
}

FILE* start_install_child(bool image, bool quiet) {
  InstallChildRequest request;
  request.image = image;
  request.quiet = quiet;
  return start_install_child(request);
}
