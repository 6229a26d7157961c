// Test helpers for running installer code in a scratch tree with its own standard input.
#pragma once

#include <string>
#include <string_view>

// A fresh temporary directory that is the installer's root prefix while the object lives.
// The tree is removed and the prefix cleared on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& dir() const { return dir_; }
  // The host path of an installer path inside the tree.
  std::string path(std::string_view installer_path) const;
  // Writes a file, creating its parent directories.
  void write_file(std::string_view installer_path, std::string_view content) const;
  void make_dir(std::string_view installer_path) const;
  bool exists(std::string_view installer_path) const;
  // The whole file, or "" when it cannot be read.
  std::string read_file(std::string_view installer_path) const;

 private:
  std::string dir_;
};

// Replaces descriptor 0 with a file holding text (end of input after it) while the object
// lives; the previous descriptor 0 comes back on destruction.
class StdinFromText {
 public:
  explicit StdinFromText(std::string_view text);
  ~StdinFromText();
  StdinFromText(const StdinFromText&) = delete;
  StdinFromText& operator=(const StdinFromText&) = delete;

  // Bytes not yet read.
  std::string rest() const;

 private:
  int saved_ = -1;
};

// Removes a directory tree (no symlinks followed). Used by the helpers above.
void remove_tree(const std::string& path);
