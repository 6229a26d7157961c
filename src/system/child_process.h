// The one launcher of the installer's child processes: external programs (the partitioning
// tool, the formatter, package scripts, the new system's post-install programs) and forked
// copies of the installer that run a function (the installation child).
//
// Every child starts the same way: its standard descriptors wired as asked, every other
// descriptor closed, every signal disposition back to its default and no signal blocked (the
// installer ignores SIGPIPE and catches SIGINT and SIGALRM; its children must not inherit
// that), then an optional chroot, then the program or the function.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>

// Descriptor 0 of the child.
enum class ChildInput {
  kInherit,  // the installer's own
  kDevNull,  // "/dev/null" read-only
  kPipe,     // the read end of a pipe whose write end the parent holds
  kDescriptor,  // ChildOptions::input_fd, an open file the parent keeps
};

// Descriptor 1 or 2 of the child.
enum class ChildOutput {
  kInherit,  // the installer's own
  kDevNull,  // "/dev/null"
  kFile,     // ChildOptions::output_path, opened write-only; "/dev/null" when it cannot be opened
  kPipe,     // descriptor 1 only: the write end of a pipe whose read end the parent holds
};

struct ChildOptions {
  ChildInput input = ChildInput::kInherit;
  ChildOutput output = ChildOutput::kInherit;  // descriptor 1
  ChildOutput errors = ChildOutput::kInherit;  // descriptor 2 (kPipe is not allowed)
  // The descriptor for ChildInput::kDescriptor.
  int input_fd = -1;
  // Installer path for kFile (through the root prefix), for example tool_output_path.
  const char* output_path = nullptr;
  // Installer path to chroot into before running; the child exits with 127 when it fails.
  const char* root = nullptr;
  // After the chroot, also make "/" the working directory (otherwise it is left unchanged).
  bool enter_root = false;
};

// An external program: path and argument vector (argv[0] included, null-terminated). Without
// a root the path is an installer path and goes through the root prefix; with one it is looked
// up inside the root after the chroot. A program that cannot be executed exits with 127.
struct ChildProgram {
  const char* path;
  const char* const* argv;
};

// A function run in the forked child; its result is the child's exit status. Console output
// and standard streams are flushed before the child exits.
using ChildFunction = std::function<int()>;

// Starts a child. At most one of input and output may be a pipe; the parent's end of it is
// stored in *parent_end (close-on-exec), or -1 when there is none. Returns the child's pid,
// or -1 when the pipe or the fork fails (nothing is left open then).
pid_t spawn_child(const ChildOptions& options, const ChildProgram& program, int* parent_end);
pid_t spawn_child(const ChildOptions& options, const ChildFunction& function, int* parent_end);

// Waits for the child, repeating while interrupted by a signal. Returns the raw wait status,
// or -1 when waiting fails.
int wait_for_child(pid_t pid);

// Runs a child to completion (no pipes). Returns the raw wait status, or -1 when the fork or
// the wait fails.
int run_child(const ChildOptions& options, const ChildProgram& program);

// Starts a piped child in the process-wide child slot (system/child_slot.h) and returns a
// buffered stream on the parent's end of its pipe: "w" when input is kPipe, "r" when output
// is kPipe. Null when the slot is taken (nothing is started then), or the pipe, the fork or
// the stream fails; a child that was started but cannot be given its stream is handed the end
// of its pipe and collected, so nothing is left behind. End the child with finish_child().
FILE* start_slot_child(const ChildOptions& options, const ChildProgram& program);
FILE* start_slot_child(const ChildOptions& options, const ChildFunction& function);
