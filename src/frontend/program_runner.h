// Running an external program to completion: optionally chrooted, with no input and its
// output on the tool output path.
#pragma once

#include <initializer_list>

// Runs program (an installer path) with args as argv[1..] (at most 14), chrooted into root
// when root is not null. Standard input is /dev/null; standard output and error go to
// tool_output_path; descriptors 0 to 15 of the installer are not inherited. Returns the raw
// wait status (exit code 127 when the program or the chroot fails), or -1 when the fork or
// the wait fails. The paths go through the root prefix; the program path is looked up inside
// root after the chroot.
int run_in_root(const char* root, const char* program, std::initializer_list<const char*> args);
