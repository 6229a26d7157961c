// Extraction of a package's file records into a target tree.
//
// The extraction knows the record format, the inflating stream and how to create each kind of
// entry below the target's root. What it did and what went wrong it reports to the
// installation that runs it, through an ExtractionSink: that one decides about entries that
// are already on the disk, keeps the list of what was created and moved aside, and words the
// failures.
#pragma once

#include <string>
#include <string_view>

#include "system/target_tree.h"

class PartReader;

class ExtractionSink {
 public:
  virtual ~ExtractionSink() = default;

  // Whether an entry of this name may be installed at all, and whether entries may be made in
  // the directory dir (asked of every directory an entry goes into, and of every directory a
  // missing parent would be made in). False: the archive is broken.
  virtual bool accepts_name(const EntryPath&) { return true; }
  virtual bool accepts_directory(int /*dir*/) { return true; }
  // Something other than a directory (as the entry's own lstat tells: existing) already
  // stands where the entry recorded as recorded goes, and this extraction did not make it;
  // dangling: it is a link that leads nowhere. True: keep it and drop the entry (its content
  // is skipped); false: move it aside and create the entry.
  virtual bool keep_existing(const std::string& recorded, const struct stat& existing,
                             bool dangling) = 0;
  // The entry is about to be made in the directory dir (every kind but directories), or what
  // stands at entry is about to be renamed to backup there: the last moment to note it down.
  // False (errno set) stops the extraction with a create failure.
  virtual bool creating(const Identity& /*dir*/, const RecordedPath&) { return true; }
  // The same for a directory about to be made (an entry of the archive or a missing parent).
  virtual bool making_directory(const Identity& /*dir*/, const RecordedPath&) { return true; }
  virtual bool moving_aside(const Identity& /*dir*/, const RecordedPath&, const std::string&) {
    return true;
  }
  // The entry was made in the directory dir and is self (every kind but directories).
  virtual void created(const RecordedPath& entry, const Identity& dir, const Identity& self) = 0;
  // A directory was made by this extraction in dir (it was not there before): a directory
  // entry of the archive, or a missing parent of one, outermost first.
  virtual void made_directory(const RecordedPath&, const Identity& /*dir*/,
                              const Identity& /*self*/) {}
  // What stood at entry in the directory dir was renamed to backup there.
  virtual void moved_aside(const Identity& dir, const RecordedPath& entry,
                           const std::string& backup) = 0;
  // The archive is broken: a short read, a bad name, a device of the wrong size, an
  // unsupported file type, or a name or directory the sink does not accept.
  virtual void broken() = 0;
  // Creating or writing the entry named entry (as stored) failed with error.
  virtual void create_failed(const std::string& entry, int error) = 0;
  // One more entry is done.
  virtual void progress() = 0;
};

// Extracts the FileData part that r stands on (nothing of it read yet) into target, every
// entry below the directory under ("" for the root itself; "x/name" for a disabled
// package). False after the first failure, which has been reported to sink; what was created
// so far stays for the caller to remove. Directory times are restored at the end.
bool extract_files(PartReader& r, const Target& target, std::string_view under,
                   ExtractionSink& sink);
