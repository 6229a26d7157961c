// The process-wide root prefix. Every absolute path the installer touches ("/flash",
// "/floppy", "/ram/pdb", "/sbin/sfdisk", "/dev/...") goes through root_path(), so that tests
// and offline tools run whole flows inside a scratch directory. The prefix is empty on the
// medium, where root_path() returns its argument unchanged.
#pragma once

#include <string>
#include <string_view>

// Sets the prefix (a directory without trailing slash; "" for the real root).
void set_root_prefix(std::string prefix);
const std::string& root_prefix();

// The host path of an installer path: the prefix followed by the path when the path is
// absolute; a relative path is returned unchanged (it is relative to the working directory,
// which the installer itself keeps inside the root).
std::string root_path(std::string_view path);
