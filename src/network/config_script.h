// Writing a configuration script that the install server hands out onto the target, under
// /flash by the name the server gave it.
#pragma once

#include <string>

struct FileTransfer;

// A script's name fits the installer's 32-byte name copy: at most 31 characters.
constexpr size_t kMaxScriptName = 31;

// A name longer than 4 characters that ends in ".scr".
bool is_configuration_script(const std::string& name);

// Copies the current file of transfer to /flash/<name> (to /empty when its announced size is
// 0), printing "Writing configuration..." first. The name comes from an unauthenticated
// server: one that is empty, too long, has a ".." component or leads through a symbolic
// link is refused, and an existing link is never followed. False after a fatal message
// ("couldn't make a file", "bad network connection", "installation failed: ...").
bool write_configuration_script(FileTransfer& transfer);
