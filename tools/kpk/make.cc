// kpk build and kpk bundle.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "build.h"
#include "commands.h"
#include "system/fd_stream.h"

namespace kpk {

int fail(const std::string& message) {
  fprintf(stderr, "kpk: %s\n", message.c_str());
  return 1;
}

bool write_file(const std::string& path, const std::string& data, mode_t mode, bool replace,
                std::string* error) {
  // A replacement is written beside the file and renamed over it, so that a failed write
  // never leaves half a file; a new file is created exclusively.
  std::string written = replace ? path + ".tmp" : path;
  int fd = open(written.c_str(), O_WRONLY | O_CREAT | (replace ? O_TRUNC : O_EXCL), mode);
  if (fd < 0) {
    *error = written + ": " + strerror(errno);
    return false;
  }
  int failure = write_all(fd, data.data(), data.size());
  if (close(fd) != 0 && failure == 0) failure = errno;
  if (failure == 0 && replace && rename(written.c_str(), path.c_str()) != 0) failure = errno;
  if (failure != 0) {
    *error = written + ": " + strerror(failure);
    unlink(written.c_str());
    return false;
  }
  return true;
}

bool write_output(const std::string& path, const std::string& data, std::string* error) {
  if (path == "-") {
    if (fwrite(data.data(), 1, data.size(), stdout) != data.size() || fflush(stdout) != 0) {
      *error = "write error on standard output";
      return false;
    }
    return true;
  }
  return write_file(path, data, 0644, true, error);
}

namespace {

// Splits "MANIFEST -o OUT [rest...]" in any order. False on a usage error.
bool parse_make_args(int argc, char** argv, std::string* manifest, std::string* out,
                     std::vector<std::string>* rest) {
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-o") {
      if (++i >= argc) return false;
      *out = argv[i];
    } else if (manifest->empty()) {
      *manifest = a;
    } else {
      rest->push_back(a);
    }
  }
  return !manifest->empty() && !out->empty();
}

}  // namespace

int cmd_build(int argc, char** argv) {
  std::string manifest_path, out;
  std::vector<std::string> rest;
  if (!parse_make_args(argc, argv, &manifest_path, &out, &rest) || !rest.empty())
    return fail("usage: kpk build MANIFEST -o OUT.kpk");
  Manifest m;
  std::string error, archive;
  if (!parse_manifest(manifest_path, &m, &error)) return fail(error);
  if (m.has_contents) return fail(manifest_path + ": contents belong in a bundle manifest");
  if (!build_package(m, &archive, &error) || !write_output(out, archive, &error))
    return fail(error);
  return 0;
}

int cmd_bundle(int argc, char** argv) {
  std::string manifest_path, out;
  std::vector<std::string> member_paths;
  if (!parse_make_args(argc, argv, &manifest_path, &out, &member_paths) || member_paths.empty())
    return fail("usage: kpk bundle MANIFEST -o OUT.kpk MEMBER.kpk...");
  Manifest m;
  std::string error, archive;
  if (!parse_manifest(manifest_path, &m, &error)) return fail(error);
  std::vector<std::string> members;
  for (const std::string& path : member_paths) {
    std::string data;
    if (!read_file(path, &data, &error)) return fail(error);
    members.push_back(std::move(data));
  }
  if (!build_bundle(m, members, &archive, &error) || !write_output(out, archive, &error))
    return fail(error);
  return 0;
}

}  // namespace kpk
