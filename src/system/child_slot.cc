#include "system/child_slot.h"

#include <sys/wait.h>

#include <cerrno>

namespace {
pid_t g_child = -1;
}

pid_t child_slot() { return g_child; }
void set_child_slot(pid_t pid) { g_child = pid; }

int finish_child(FILE* stream) {
  if (g_child == -1) return -1;
  pid_t pid = g_child;
  g_child = -1;
  if (fclose(stream) != 0) return -1;
  int status;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}
