// The package installation child: a forked copy of the installer that reads one archive
// from a pipe on its standard input and installs it, so that a failing or crashing
// installation cannot take the installer down.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "pkgmgr/package_manager.h"

struct InstallChildRequest {
  // Full package-manager installation onto /flash, saving the archive as the package image
  // when it has one; otherwise one plain package installed relative to "/", without the
  // manager's rules.
  bool image = true;
  bool quiet = false;  // no messages
  // The archive's name (its file), to name an archive whose package has no readable name.
  std::string archive_name;
  // The installer's child always exits with status 0; for offline tools it exits with 0 for
  // an installed archive and 1 otherwise.
  bool exit_with_result = false;

  // The two children of the installer's flows: a package archive installed onto /flash with
  // its messages shown, and the driver package installed quietly into the RAM system.
  static InstallChildRequest onto_target();
  static InstallChildRequest drivers();
};

// Starts the child and returns the stream to write the archive into (then finish_child).
// Null when a child is already running, or the pipe, the fork or the stream fails.
FILE* start_install_child(const InstallChildRequest& request);
// The same for {image, quiet}, without a name for the archive.
FILE* start_install_child(bool image, bool quiet);
// The same child reading the archive from the open file fd (which the caller keeps) instead
// of a pipe, for tools that install archive files; outside the child slot. Returns the
// child's process id (for wait_for_child), or -1 when the fork fails.
pid_t start_install_child_on(const InstallChildRequest& request, int fd);

// One installation child for one archive of a flow: started, fed, finished. It exits with
// whether it installed the archive, which finish() tells.
class InstallChild {
 public:
  // Starts the child; started() tells whether it runs (a child already running, or a failed
  // pipe, fork or stream, leave it unstarted).
  explicit InstallChild(const InstallChildRequest& request);
  InstallChild(const InstallChild&) = delete;
  InstallChild& operator=(const InstallChild&) = delete;
  // Finishes a child that was not finished.
  ~InstallChild();

  bool started() const { return stream_ != nullptr; }
  // Writes the next bytes of the archive. False once the child has stopped reading (it has
  // ended, having reported why): the rest of this archive is not written.
  bool write(const void* data, size_t size);
  // Ends the child's input and waits for it; true when it installed the archive (an archive
  // whose write failed is not installed). Once only.
  bool finish();

 private:
  FILE* stream_ = nullptr;
  bool write_failed_ = false;
};

// What the child does with the archive on descriptor 0: a package manager of its own loads
// the database and installs the archive. Exposed for tests; the child runs it after the fork.
InstallResult install_child_body(const InstallChildRequest& request);
