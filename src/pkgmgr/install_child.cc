#include "pkgmgr/install_child.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "archive/install.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/database.h"
#include "pkgmgr/package_manager.h"
#include "system/child_process.h"
#include "system/fd_stream.h"
#include "system/output.h"
#include "system/root.h"

namespace {

bool g_repository_open = false;

int install_image_mode(PackageManager& pm) {
  std::string image_path = root_path("/flash/image");
  int fd = open(image_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    out_printf("ERROR: could not open image\n");
    return 1;
  }
  int result;
  std::string image_name;
  {
    FdOutBuf image(fd, true);
    FdInStream input(0);
    result = pm.install_archive(input, kUpgrade, Choices(), &image, &image_name);
    image.close();
  }
  if (result == 0 && !image_name.empty()) {
    std::string link_path = root_path(image_name + "image");
    if (link(image_path.c_str(), link_path.c_str()) != 0) {
      out_printf("ERROR: could not save package image\n");
      result = -1;
    }
  }
  unlink(image_path.c_str());
  return result;
}

int install_single_package() {
  FdInStream input(0);
  PartReader r(input, true);
  r.want(PackageHeader);
  r.want(FileData);
  r.want(Signature);
  r.next_part();
  Package p;
  if (!read_package_info(p, r)) return 1;
  return install_package(p, r, true) ? 0 : 1;
}

}  // namespace

int install_child_body(bool image, bool quiet) {
  if (chdir(root_path("/").c_str()) != 0) return 1;
  PackageManager& pm = PackageManager::instance();
  if (!g_repository_open) {
    open_repository(quiet);
    g_repository_open = true;
  }
  return image ? install_image_mode(pm) : install_single_package();
}

FILE* start_install_child(bool image, bool quiet, bool exit_with_result) {
  ChildOptions options;
  options.input = ChildInput::kPipe;
  return start_slot_child(options, [=] {
    int result = install_child_body(image, quiet);
    return exit_with_result && result != 0 ? 1 : 0;
  });
}
