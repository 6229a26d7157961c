// The last steps on the installed disk: the new system's own post-install script (or its
// loader), then sync, unmount and, on a one-partition disk, a file-system check of the root
// while it is mounted read-only.
#pragma once

#include "disk/target_disk.h"

class System;

// Expects the new root at /flash (and the boot partition at /flash/boot on a two-partition
// disk), as prepare_disk leaves them; leaves both unmounted. Runs, chrooted into /flash,
// "/bin/bash -c /etc/rc.d/rc.postinstall" when that script exists in the new system (links
// followed as there, inside /flash), else "/bin/lodr lodr";
// on a one-partition disk remounts /flash read-only and runs "/sbin/fsck -d -v" there. Nothing
// here fails the installation: exit statuses are not looked at.
void post_install(System& system, const TargetDisk& disk);
