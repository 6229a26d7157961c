#include "frontend/program_runner.h"

#include <cstddef>

#include "frontend/console.h"
#include "system/child_process.h"

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

  ChildOptions options;
  options.input = ChildInput::kDevNull;
  options.output = ChildOutput::kFile;
  options.errors = ChildOutput::kFile;
  options.output_path = tool_output_path;
  options.root = root;
  return run_child(options, ChildProgram{program, argv});
}
