#include "system/child_slot.h"

#include "system/child_process.h"

namespace {
pid_t g_child = -1;
}

pid_t child_slot() { return g_child; }
void set_child_slot(pid_t pid) { g_child = pid; }

int finish_child(FILE* stream) {
  if (g_child == -1) return -1;
  pid_t pid = g_child;
  g_child = -1;
  // fclose releases the descriptor even when it fails, so the child sees the end of its pipe
  // and can always be collected: a failed close is reported, never left as a zombie.
  bool closed = fclose(stream) == 0;
  int status = wait_for_child(pid);
  return closed ? status : -1;
}
