// Helpers for the scenario tests: running a program and collecting its output, finding a
// program on the search path, scratch directories.
#pragma once

#include <string>
#include <vector>

struct CommandResult {
  int status = -1;      // raw wait status; -1 if the program could not be run or timed out
  std::string output;   // standard output and standard error together
};

// Runs argv[0] (searched on PATH) with the given standard input, waits at most timeout_ms
// (then kills the whole process group) and returns its status and output.
CommandResult run_command(const std::vector<std::string>& argv, const std::string& input = "",
                          int timeout_ms = 20000);

// The full path of a program on PATH, or "" when there is none.
std::string find_program(const std::string& name);

// A fresh temporary directory (no scratch root: these tests run whole programs), removed with
// everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);
