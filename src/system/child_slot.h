// The installer's one piped child process (the partitioning tool or an installation child):
// its process id is kept in one process-wide slot, so that at most one such child exists.
#pragma once

#include <sys/types.h>

#include <cstdio>

// The recorded child's process id, or -1 when there is none.
pid_t child_slot();
void set_child_slot(pid_t pid);

// Closes the child's stream (the child sees the end of its input, or of its output for a
// reading parent) and waits for it. Returns the raw wait status, or -1 when no child is
// recorded, closing fails or waiting fails. The child is waited for in every case but the
// first, so none is left behind.
int finish_child(FILE* stream);
