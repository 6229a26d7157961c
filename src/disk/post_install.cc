#include "disk/post_install.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/console.h"
#include "frontend/program_runner.h"
#include "system/root.h"
#include "system/system.h"

void post_install(System& system, const TargetDisk& disk) {
  struct stat st;
  if (stat(root_path("/flash/etc/rc.d/rc.postinstall").c_str(), &st) == 0)
    run_in_root("/flash", "/bin/bash", {"-c", "/etc/rc.d/rc.postinstall"});
  else
    run_in_root("/flash", "/bin/lodr", {"lodr"});

  sync();
  system.umount(root_path("/flash/boot").c_str());
  if (!disk.over_1023_cylinders) {
    // A remount ignores source and type: this works for any disk and either file system.
    if (system.mount(root_path("/dev/hda1").c_str(), root_path("/flash").c_str(), "ext3",
                     MS_RDONLY | MS_REMOUNT, nullptr) == 0) {
      begin_progress("Checking disk integrity...");
      run_in_root("/flash", "/sbin/fsck", {"-d", "-v"});
      end_progress();
    }
  }
  system.umount(root_path("/flash").c_str());
}
