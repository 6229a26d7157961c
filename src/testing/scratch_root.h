// The one scratch-root fixture for tests that touch the installer's file systems: each test
// runs inside a scratch root (the root prefix points into a fresh temporary directory). With
// small file helpers, and a runner for code that needs mounts of its own.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

class ScratchRoot : public ::testing::Test {
 protected:
  // Creates <scratch>/root and makes it the root prefix.
  void SetUp() override;
  // Restores the prefix and the working directory and deletes the scratch tree (read-only
  // directories included).
  void TearDown() override;

  // The host path of an installer path ("/flash/x" -> "<scratch>/root/flash/x").
  std::string host(const std::string& path) const { return root_ + path; }

  // Writes bytes to a host path, creating its parent directories.
  static void put(const std::string& path, const std::string& bytes);
  // The whole content of a host file ("" when it cannot be read).
  static std::string get(const std::string& path);
  // Creates a host directory with its parents.
  static void make_dir(const std::string& path);
  // Something (even a dangling link) is at the host path.
  static bool exists(const std::string& path);
  // The names in a host directory, sorted, each followed by one blank.
  static std::string listing(const std::string& dir);

  std::string scratch_;  // the temporary directory; free for files outside the root
  std::string root_;     // the root prefix, <scratch>/root

 private:
  std::string saved_prefix_;
  std::string saved_cwd_;
};

// Runs body in a forked child inside a mount namespace of its own, after setup has made the
// mounts it needs there, and returns what body returned; "SKIP" when the namespace or a mount
// cannot be had (not root). Nothing mounted outlives the child.
std::string in_mount_namespace(const std::function<bool()>& setup,
                               const std::function<std::string()>& body);
