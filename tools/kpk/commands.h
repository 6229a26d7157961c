// The subcommands of kpk. Each takes the arguments after its own name and returns the exit
// status; errors are printed as one line "kpk: ..." on standard error.
#pragma once

#include <sys/types.h>

#include <string>

namespace kpk {

int cmd_build(int argc, char** argv);
int cmd_bundle(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_files(int argc, char** argv);
int cmd_digest(int argc, char** argv);
int cmd_install(int argc, char** argv);
int cmd_installed(int argc, char** argv);
int cmd_keygen(int argc, char** argv);
int cmd_sign(int argc, char** argv);
int cmd_verify(int argc, char** argv);

// Prints "kpk: message" on standard error and returns 1.
int fail(const std::string& message);
// Writes data to path (or standard output for "-"), replacing the file atomically.
bool write_output(const std::string& path, const std::string& data, std::string* error);
// Writes a file with mode: replace swaps it in atomically; otherwise it must not exist yet.
bool write_file(const std::string& path, const std::string& data, mode_t mode, bool replace,
                std::string* error);

}  // namespace kpk
