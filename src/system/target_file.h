// Files the local flows write onto the new system themselves (the CD-ROM marker, the
// configuration script), created through the target tree: a link that an installed package
// put on the way is resolved inside the target and cannot lead the write out of it.
#pragma once

#include <sys/types.h>

#include <string>

// Opens "/flash/" + entry for writing, created with mode (before the umask) or truncated; a
// link in the entry's own place is not followed (ELOOP). Missing directories on the way are
// made with dir_mode. Returns the descriptor, or -1 with errno set.
int create_target_file(const std::string& entry, mode_t mode, mode_t dir_mode);
