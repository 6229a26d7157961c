#include "disk/sfdisk_runner.h"

#include <cstring>

#include "frontend/console.h"
#include "system/child_process.h"

namespace {

constexpr char kSfdisk[] = "/sbin/sfdisk";
constexpr size_t kMaxArgs = 15;

// "/sbin/sfdisk", the arguments (without ">null"), the terminating null.
struct ArgVector {
  const char* argv[kMaxArgs + 2];
  bool to_null = false;

  explicit ArgVector(std::initializer_list<const char*> args) {
    size_t n = 0;
    argv[n++] = kSfdisk;
    size_t given = 0;
    for (const char* arg : args) {
      if (given++ == kMaxArgs) break;
      if (strcmp(arg, ">null") == 0) {
        to_null = true;
        continue;
      }
      argv[n++] = arg;
    }
    argv[n] = nullptr;
  }
};

}  // namespace

FILE* run_sfdisk_reading(std::initializer_list<const char*> args) {
  ArgVector vector(args);
  ChildOptions options;
  options.input = ChildInput::kDevNull;
  options.output = ChildOutput::kPipe;
  options.errors = ChildOutput::kFile;
  options.output_path = tool_output_path;
  return start_slot_child(options, ChildProgram{kSfdisk, vector.argv});
}

FILE* run_sfdisk_writing(std::initializer_list<const char*> args) {
  ArgVector vector(args);
  ChildOptions options;
  options.input = ChildInput::kPipe;
  if (vector.to_null) {
    options.output = ChildOutput::kFile;
    options.errors = ChildOutput::kFile;
    options.output_path = tool_output_path;
  }
  return start_slot_child(options, ChildProgram{kSfdisk, vector.argv});
}
