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

#include "archive/target_tree.h"

class PartReader;

class ExtractionSink {
 public:
  virtual ~ExtractionSink() = default;

  // Something other than a directory already stands where the entry recorded as recorded
  // goes, and this extraction did not create it. True: keep it and drop the entry (its
  // content is skipped); false: move it aside and create the entry.
  virtual bool keep_existing(const std::string& recorded) = 0;
  // The entry recorded as recorded is about to be created (every kind but directories), or
  // what stands at entry is about to be renamed to backup in the same directory: the last
  // moment to note it down. False (errno set) stops the extraction with a create failure.
  virtual bool creating(const std::string&) { return true; }
  virtual bool moving_aside(const RecordedPath&, const std::string&) { return true; }
  // The entry recorded as recorded was created (every kind but directories).
  virtual void created(const std::string& recorded) = 0;
  // The directory at entry was made by this extraction (it was not there before): a
  // directory entry of the archive, or a missing parent of one, outermost first.
  virtual void made_directory(const RecordedPath&) {}
  // What stood at entry was renamed to backup in the same directory.
  virtual void moved_aside(const RecordedPath& entry, const std::string& backup) = 0;
  // The archive is broken: a short read, a bad name, a device of the wrong size or an
  // unsupported file type.
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
