#include "system/child_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "system/child_slot.h"
#include "system/root.h"

namespace {

void on_signal(int) {}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status; }

// Runs a function child with the given options and returns its exit status code.
int run_function(const ChildOptions& options, const ChildFunction& function) {
  pid_t pid = spawn_child(options, function, nullptr);
  if (pid < 0) return -1;
  return exit_code(wait_for_child(pid));
}

bool same_file(int fd, const char* path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

class ChildProcessTest : public testing::Test {
 protected:
  void SetUp() override { set_root_prefix(""); }
};

// The installer ignores SIGPIPE, catches SIGINT and may block signals; a child starts with
// every disposition at its default and nothing blocked, and with nothing open above 2.
TEST_F(ChildProcessTest, ChildrenStartWithDefaultSignalsAndOnlyTheStandardDescriptors) {
  struct sigaction catcher = {}, ignorer = {}, old_int, old_pipe, old_alrm;
  catcher.sa_handler = on_signal;
  ignorer.sa_handler = SIG_IGN;
  sigaction(SIGINT, &catcher, &old_int);
  sigaction(SIGALRM, &catcher, &old_alrm);
  sigaction(SIGPIPE, &ignorer, &old_pipe);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigprocmask(SIG_BLOCK, &blocked, &old_mask);
  int high = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 40);  // beyond the old 3..15 range
  int low = open("/dev/null", O_RDONLY);

  int code = run_function(ChildOptions(), [&] {
    int bad = 0;
    for (int s : {SIGINT, SIGALRM, SIGPIPE, SIGCHLD, SIGTERM}) {
      struct sigaction now;
      sigaction(s, nullptr, &now);
      if (now.sa_handler != SIG_DFL) bad |= 1;
    }
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    if (sigismember(&mask, SIGUSR1)) bad |= 2;
    if (fcntl(high, F_GETFD) != -1 || fcntl(low, F_GETFD) != -1) bad |= 4;
    if (fcntl(0, F_GETFD) == -1 || fcntl(1, F_GETFD) == -1) bad |= 8;
    return bad;
  });
  EXPECT_EQ(code, 0) << "bits: 1 handler kept, 2 signal blocked, 4 descriptor leaked, "
                        "8 standard descriptor lost";

  close(high);
  close(low);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGALRM, &old_alrm, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
}

// Output to a path that cannot be opened falls back to /dev/null: descriptors 1 and 2 are
// never left closed (a tool writing to a closed descriptor 1 could write into a file it opened
// itself).
TEST_F(ChildProcessTest, StandardDescriptorsAreWiredAsAsked) {
  char dir[] = "/tmp/child-process-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/out";
  close(open(file.c_str(), O_WRONLY | O_CREAT, 0600));

  struct Case {
    ChildOutput output, errors;
    const char* path;
    const char* fd1;  // what descriptors 1 and 2 must be
    const char* fd2;
  } cases[] = {
      {ChildOutput::kFile, ChildOutput::kFile, "/nonexistent/tty9", "/dev/null", "/dev/null"},
      {ChildOutput::kFile, ChildOutput::kFile, file.c_str(), file.c_str(), file.c_str()},
      {ChildOutput::kDevNull, ChildOutput::kFile, file.c_str(), "/dev/null", file.c_str()},
  };
  for (const Case& c : cases) {
    ChildOptions options;
    options.input = ChildInput::kDevNull;
    options.output = c.output;
    options.errors = c.errors;
    options.output_path = c.path;
    EXPECT_EQ(run_function(options, [&] {
                return (same_file(0, "/dev/null") ? 0 : 1) | (same_file(1, c.fd1) ? 0 : 2) |
                       (same_file(2, c.fd2) ? 0 : 4);
              }),
              0)
        << c.path;
  }
  // Output and errors to one file share its offset, as "2>&1" does.
  ChildOptions shared;
  shared.output = shared.errors = ChildOutput::kFile;
  shared.output_path = file.c_str();
  const char* argv[] = {"sh", "-c", "echo one; echo two >&2; echo three", nullptr};
  EXPECT_EQ(exit_code(run_child(shared, ChildProgram{"/bin/sh", argv})), 0);
  char text[64] = {};
  int fd = open(file.c_str(), O_RDONLY);
  ASSERT_GT(read(fd, text, sizeof text - 1), 0);
  close(fd);
  EXPECT_STREQ(text, "one\ntwo\nthree\n");
  const char* missing[] = {"x", nullptr};
  EXPECT_EQ(exit_code(run_child(shared, ChildProgram{"/nonexistent/program", missing})), 127);
  unlink(file.c_str());
  rmdir(dir);
}

// The child slot holds one piped child at a time, and finish_child collects the child even when
// closing its stream fails (here: the child is gone, so the buffered bytes cannot be written).
TEST_F(ChildProcessTest, SlotChildrenAreAlwaysCollected) {
  struct sigaction ignorer = {}, old_pipe;
  ignorer.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignorer, &old_pipe);

  ChildOptions reading;
  reading.output = ChildOutput::kPipe;
  const char* argv[] = {"sh", "-c", "echo listed", nullptr};
  FILE* out = start_slot_child(reading, ChildProgram{"/bin/sh", argv});
  ASSERT_NE(out, nullptr);
  ChildOptions writing;
  writing.input = ChildInput::kPipe;
  EXPECT_EQ(start_slot_child(writing, [] { return 0; }), nullptr) << "slot is taken";
  char line[32] = {};
  ASSERT_NE(fgets(line, sizeof line, out), nullptr);
  EXPECT_STREQ(line, "listed\n");
  EXPECT_EQ(exit_code(finish_child(out)), 0);
  EXPECT_EQ(child_slot(), -1);

  FILE* in = start_slot_child(writing, [] { return 7; });  // exits without reading
  ASSERT_NE(in, nullptr);
  pid_t pid = child_slot();
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, pid, &info, WEXITED | WNOWAIT), 0);  // gone, not yet collected
  fputs("archive bytes the child never reads", in);
  EXPECT_EQ(finish_child(in), -1);
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "the child was left as a zombie";
  EXPECT_EQ(errno, ECHILD);

  sigaction(SIGPIPE, &old_pipe, nullptr);
}

}  // namespace
