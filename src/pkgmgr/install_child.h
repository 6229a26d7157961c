// The package installation child: a forked copy of the installer that reads one archive
// from a pipe on its standard input and installs it, so that a failing or crashing
// installation cannot take the installer down.
#pragma once

#include <cstdio>

#include "pkgmgr/package_manager.h"

// Starts the child and returns the stream to write the archive into (then finish_child).
// image: full package-manager installation onto /flash, saving the archive as the package
// image when it has one; otherwise one plain package installed relative to "/", without the
// manager's rules. quiet: no messages. Null when a child is already running, or the pipe,
// the fork or the stream fails. The installer's child always exits with status 0; with
// exit_with_result (offline tools) it exits with 0 for an installed archive and 1 otherwise.
FILE* start_install_child(bool image, bool quiet, bool exit_with_result = false);

// What the child does with the archive on descriptor 0: a package manager of its own loads
// the database and installs the archive. Exposed for tests; the child runs it after the fork.
InstallResult install_child_body(bool image, bool quiet);
