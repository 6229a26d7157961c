#include "system/child_process.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "system/child_slot.h"
#include "system/output.h"
#include "system/root.h"

namespace {

// Everything the child needs, computed before the fork: the child only makes system calls.
struct Plan {
  ChildInput input;
  int input_fd = -1;
  ChildOutput output, errors;
  std::string null_path, output_path, root, program;
  int child_end = -1;   // the child's end of the pipe
  int parent_end = -1;  // the parent's end
};

bool make_plan(const ChildOptions& options, const char* program, Plan& plan) {
  plan.input = options.input;
  plan.input_fd = options.input_fd;
  plan.output = options.output;
  plan.errors = options.errors == ChildOutput::kPipe ? ChildOutput::kDevNull : options.errors;
  plan.null_path = root_path("/dev/null");
  if (options.output_path) plan.output_path = root_path(options.output_path);
  if (options.root) plan.root = root_path(options.root);
  if (program) plan.program = options.root ? std::string(program) : root_path(program);

  bool pipe_in = options.input == ChildInput::kPipe;
  bool pipe_out = options.output == ChildOutput::kPipe;
  if (pipe_in && pipe_out) return false;
  if (pipe_in || pipe_out) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    plan.child_end = pipe_in ? fds[0] : fds[1];
    plan.parent_end = pipe_in ? fds[1] : fds[0];
  }
  return true;
}

void close_plan(Plan& plan) {
  if (plan.child_end >= 0) close(plan.child_end);
  if (plan.parent_end >= 0) close(plan.parent_end);
  plan.child_end = plan.parent_end = -1;
}

// Moves a descriptor above the standard ones, so that wiring 0, 1 and 2 cannot clobber it.
int lift(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD, 3);
  close(fd);
  return moved;
}

int open_output(const Plan& plan, ChildOutput kind) {
  int fd = -1;
  if (kind == ChildOutput::kFile && !plan.output_path.empty())
    fd = open(plan.output_path.c_str(), O_WRONLY);
  if (fd < 0) fd = open(plan.null_path.c_str(), O_WRONLY);
  return lift(fd);
}

void place(int fd, int target) {
  if (fd < 0) return;
  if (fd == target) {
    fcntl(fd, F_SETFD, 0);
    return;
  }
  dup2(fd, target);
}

void close_above_standard() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  long limit = sysconf(_SC_OPEN_MAX);
  if (limit < 0 || limit > 65536) limit = 65536;
  for (int fd = 3; fd < limit; ++fd) close(fd);
}

// Every disposition back to its default, then nothing blocked (the parent blocked everything
// across the fork).
void reset_signals() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    sigaction(signal_number, &action, nullptr);  // the C library's own signals refuse: fine
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// In the child: descriptors, signals and root as planned. Returns false when the root cannot
// be entered.
bool set_up_child(Plan& plan) {
  reset_signals();
  if (plan.parent_end >= 0) close(plan.parent_end);
  int child_end = lift(plan.child_end);

  int in = -1;
  if (plan.input == ChildInput::kPipe) in = child_end;
  else if (plan.input == ChildInput::kDevNull) in = lift(open(plan.null_path.c_str(), O_RDONLY));
  else if (plan.input == ChildInput::kDescriptor) in = lift(fcntl(plan.input_fd, F_DUPFD, 3));
  int out = -1;
  if (plan.output == ChildOutput::kPipe) out = child_end;
  else if (plan.output != ChildOutput::kInherit) out = open_output(plan, plan.output);
  int err = -1;
  if (plan.errors != ChildOutput::kInherit) {
    // Output and errors to the same file share one open file, as "2>&1" does.
    err = plan.errors == plan.output && plan.output == ChildOutput::kFile
              ? out
              : open_output(plan, plan.errors);
  }
  place(in, 0);
  place(out, 1);
  place(err, 2);
  close_above_standard();

  if (!plan.root.empty()) {
    if (chroot(plan.root.c_str()) != 0) return false;
  }
  return true;
}

pid_t start(const ChildOptions& options, const char* program, const char* const* argv,
            const ChildFunction* function, int* parent_end) {
  if (parent_end) *parent_end = -1;
  Plan plan;
  if (!make_plan(options, program, plan)) return -1;
  out_flush();
  fflush(nullptr);
  // No signal may reach the child before its dispositions are reset: one that came in
  // between would run the installer's own handler (the abort handler, for SIGINT) in the
  // child. Blocked across the fork, it waits until the child has reset them and unblocked.
  sigset_t all, saved_mask;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &saved_mask);
  pid_t pid = fork();
  if (pid != 0) sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
  if (pid < 0) {
    close_plan(plan);
    return -1;
  }
  if (pid == 0) {
    if (!set_up_child(plan)) _exit(127);
    if (options.enter_root && chdir("/") != 0) _exit(127);
    if (function) {
      int status = (*function)();
      out_flush();
      fflush(nullptr);
      _exit(status);
    }
    execv(plan.program.c_str(), const_cast<char* const*>(argv));
    _exit(127);
  }
  if (plan.child_end >= 0) close(plan.child_end);
  if (parent_end) *parent_end = plan.parent_end;
  else if (plan.parent_end >= 0) close(plan.parent_end);
  return pid;
}

FILE* start_in_slot(const ChildOptions& options, const char* program, const char* const* argv,
                    const ChildFunction* function) {
  if (child_slot() != -1) return nullptr;
  bool writing = options.input == ChildInput::kPipe;
  if (!writing && options.output != ChildOutput::kPipe) return nullptr;
  int end;
  pid_t pid = start(options, program, argv, function, &end);
  if (pid < 0) return nullptr;
  FILE* stream = fdopen(end, writing ? "w" : "r");
  if (!stream) {
    // Closing our end gives the child the end of its input (or a broken pipe for its
    // output), so it finishes and can be collected.
    close(end);
    wait_for_child(pid);
    return nullptr;
  }
  // An archive goes into the pipe 64 KB per write rather than a page at a time: one child at
  // most uses the slot, so it has the one buffer to itself until finish_child closes it.
  static char slot_buffer[65536];
  if (writing) setvbuf(stream, slot_buffer, _IOFBF, sizeof slot_buffer);
  set_child_slot(pid);
  return stream;
}

}  // namespace

pid_t spawn_child(const ChildOptions& options, const ChildProgram& program, int* parent_end) {
  return start(options, program.path, program.argv, nullptr, parent_end);
}

pid_t spawn_child(const ChildOptions& options, const ChildFunction& function, int* parent_end) {
  return start(options, nullptr, nullptr, &function, parent_end);
}

int wait_for_child(pid_t pid) {
  int status;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}

int run_child(const ChildOptions& options, const ChildProgram& program) {
  if (options.input == ChildInput::kPipe || options.output == ChildOutput::kPipe) return -1;
  pid_t pid = spawn_child(options, program, nullptr);
  if (pid < 0) return -1;
  return wait_for_child(pid);
}

FILE* start_slot_child(const ChildOptions& options, const ChildProgram& program) {
  return start_in_slot(options, program.path, program.argv, nullptr);
}

FILE* start_slot_child(const ChildOptions& options, const ChildFunction& function) {
  return start_in_slot(options, nullptr, nullptr, &function);
}
