#include "frontend/program_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "frontend/console.h"
#include "system/output.h"
#include "system/root.h"

int run_in_root(const char* root, const char* program, std::initializer_list<const char*> args) {
  // Program path, up to 14 arguments, the terminating null.
  const char* argv[16];
  size_t n = 0;
  argv[n++] = program;
  for (const char* a : args) {
    if (n == 15) break;
    argv[n++] = a;
  }
  argv[n] = nullptr;

  // Everything the child needs is computed before the fork.
  std::string root_host = root ? root_path(root) : "";
  // Without a root the program is an installer path; inside one it is found after chroot.
  std::string program_host = root ? std::string(program) : root_path(program);
  std::string null_host = root_path("/dev/null");
  std::string output_host = root_path(tool_output_path);
  out_flush();
  fflush(nullptr);

  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    for (int fd = 0; fd <= 15; ++fd) close(fd);
    open(null_host.c_str(), O_RDONLY);
    open(output_host.c_str(), O_WRONLY);
    dup(1);
    if (root && chroot(root_host.c_str()) != 0) _exit(127);
    execv(program_host.c_str(), const_cast<char* const*>(argv));
    _exit(127);
  }
  int status;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}
