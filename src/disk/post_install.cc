#include "disk/post_install.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/console.h"
#include "frontend/program_runner.h"
#include "system/root.h"
#include "system/system.h"
#include "system/target_tree.h"

void post_install(System& system, const TargetDisk& disk) {
  // The script is looked for as the new system will find it: a link to /etc/... leads into
  // the new root, not into the installer's own.
  struct stat st;
  EntryPath script;
  if (split_entry_name("etc/rc.d/rc.postinstall", &script) &&
      stat_entry(Target::flash(), script, &st) == 0)
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
