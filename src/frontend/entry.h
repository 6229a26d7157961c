// The installer's entry routine: the init split, the environment of the RAM system, the mode
// choice, exactly one flow, and the end of the run with its reboot.
#pragma once

class System;
struct FlowTable;

// Runs the installer. When argv[0] contains "init" it first forks: the parent only waits for
// the worker and returns its raw wait status (-1 if the wait fails). The worker, or the only
// process when argv[0] lacks "init" or the fork failed, ends with system.reboot(); entry()
// returns 0 in it only if that call returns.
int entry(System& system, int argc, char** argv, const FlowTable& flows);
