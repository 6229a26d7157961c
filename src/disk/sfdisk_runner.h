// Running the medium's partitioning tool /sbin/sfdisk as the installer's one piped child
// (system/child_slot.h): either reading its output or writing its input. End either run with
// finish_child().
#pragma once

#include <cstdio>
#include <initializer_list>

// Starts /sbin/sfdisk with args (at most 15; more are dropped) and returns a stream on its
// standard output. Its standard input is /dev/null and its standard error goes to
// tool_output_path. Null when the child slot is taken or the pipe, the fork or the stream
// fails.
FILE* run_sfdisk_reading(std::initializer_list<const char*> args);

// Starts /sbin/sfdisk with args (at most 15) and returns a stream on its standard input. The
// pseudo-argument ">null" is not passed on: it sends the tool's standard output and standard
// error to tool_output_path (otherwise they are the installer's own). Null as above.
FILE* run_sfdisk_writing(std::initializer_list<const char*> args);
