// The CD-ROM installation: the CD is found and mounted on /floppy, the user chooses packages
// in the menu and answers two questions, the target disk is prepared, and every chosen
// archive is fed, byte for byte, to an installation child of its own.
#pragma once

class System;
struct TargetDisk;

// Runs the flow onto disk, which drive detection has filled. True after "Software
// installed."; false after the failure's message, after "Installation canceled", or when
// "Continue?" was answered no. Cancelling or saying no leaves the disk untouched; from the
// boot record on nothing is undone. The CD stays mounted on /floppy.
bool install_from_cdrom(System& system, TargetDisk& disk);
