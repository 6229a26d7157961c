// Test helpers for whole-tree scenarios: a fingerprint of a directory tree (every entry's
// type, mode, owner, size, content and link target) to prove that nothing in it changed, and
// the console lines a person would read in captured output.
#pragma once

#include <map>
#include <vector>
#include <string>

// path -> description of the entry, for every entry below dir (dir itself excluded).
// with_dir_times: include directory modification times.
std::map<std::string, std::string> fingerprint(const std::string& dir, bool with_dir_times);
// The entries of a that differ from or are missing in b, and those only in b, one per line.
std::string fingerprint_diff(const std::map<std::string, std::string>& a,
                             const std::map<std::string, std::string>& b);
// True when the process may create device nodes, chown and chroot.
bool running_as_root();

// The lines a person would read in captured console output: escape sequences removed, a
// carriage return starts the line afresh, blank lines dropped.
std::vector<std::string> console_lines(const std::string& text);
