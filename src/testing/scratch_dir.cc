#include "testing/scratch_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "system/root.h"

void remove_tree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        remove_tree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kest-root-XXXXXX";
  if (mkdtemp(pattern.data())) dir_ = pattern;
  set_root_prefix(dir_);
}

ScratchDir::~ScratchDir() {
  set_root_prefix("");
  if (!dir_.empty()) remove_tree(dir_);
}

std::string ScratchDir::path(std::string_view installer_path) const {
  return dir_ + std::string(installer_path);
}

void ScratchDir::make_dir(std::string_view installer_path) const {
  std::string full = path(installer_path);
  for (size_t at = dir_.size() + 1; at <= full.size(); ++at)
    if (at == full.size() || full[at] == '/') mkdir(full.substr(0, at).c_str(), 0755);
}

void ScratchDir::write_file(std::string_view installer_path, std::string_view content) const {
  std::string_view parent = installer_path.substr(0, installer_path.rfind('/'));
  if (!parent.empty()) make_dir(parent);
  std::ofstream out(path(installer_path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), std::streamsize(content.size()));
}

bool ScratchDir::exists(std::string_view installer_path) const {
  struct stat status;
  return lstat(path(installer_path).c_str(), &status) == 0;
}

std::string ScratchDir::read_file(std::string_view installer_path) const {
  std::ifstream in(path(installer_path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

StdinFromText::StdinFromText(std::string_view text) {
  FILE* file = tmpfile();
  if (!file) return;
  fwrite(text.data(), 1, text.size(), file);
  fflush(file);
  int fd = dup(fileno(file));
  fclose(file);
  lseek(fd, 0, SEEK_SET);
  saved_ = dup(0);
  dup2(fd, 0);
  close(fd);
}

StdinFromText::~StdinFromText() {
  if (saved_ < 0) return;
  dup2(saved_, 0);
  close(saved_);
}

std::string StdinFromText::rest() const {
  std::string result;
  char buffer[256];
  off_t at = lseek(0, 0, SEEK_CUR);
  ssize_t n;
  while ((n = pread(0, buffer, sizeof buffer, at)) > 0) {
    result.append(buffer, size_t(n));
    at += n;
  }
  return result;
}
