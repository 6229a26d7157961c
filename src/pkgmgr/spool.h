// Where the installation child keeps the archive it reads while it decides what in it is
// genuine, so that nothing of the archive reaches the target before all of it has been read
// and judged. On the target the spool is a file without a name in /flash (no package entry
// can ever meet it, and a run that dies leaves nothing behind); it becomes the package image
// when the package keeps one. Where that file system cannot make files without a name, a
// named file in the database directory (".kpk-spool-<pid>", locked while it is in use) takes
// its place. The single-package mode spools into private memory.
#pragma once

#include <string>

class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Opens the spool on the target, or in private memory. False (errno set) when it cannot be
  // made.
  bool open_on_target();
  bool open_private();

  // The descriptor to write the archive to and read it back from (lseek to the start).
  int fd() const { return fd_; }
  // Links the spooled archive as the file at the installer path path; false (errno) when it
  // cannot be linked.
  bool keep_as(const std::string& path) const;

 private:
  int fd_ = -1;
  std::string named_;  // host path of a named spool, deleted with it
};

// How the names of named spools begin (in the database directory).
inline constexpr char kSpoolPrefix[] = ".kpk-spool-";

// Tests make the spool on the target a named one, as on a file system without files that have
// no name.
void spool_force_named(bool named);
