#include "testing/tree_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "testing/stream_util.h"

namespace {

void walk(const std::string& base, const std::string& rel, bool with_dir_times,
          std::map<std::string, std::string>* out) {
  std::string dir = rel.empty() ? base : base + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string name = rel.empty() ? e->d_name : rel + "/" + e->d_name;
    std::string path = base + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    std::ostringstream desc;
    desc << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid;
    if (S_ISREG(st.st_mode)) {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      desc << " size " << st.st_size << " mtime " << st.st_mtime << " sha1 "
           << sha1_hex(content.str());
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      desc << " -> " << std::string(target, n > 0 ? size_t(n) : 0);
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
      desc << " dev " << major(st.st_rdev) << "," << minor(st.st_rdev);
    } else if (S_ISDIR(st.st_mode) && with_dir_times) {
      desc << " mtime " << st.st_mtime;
    }
    (*out)[name] = desc.str();
    if (S_ISDIR(st.st_mode)) walk(base, name, with_dir_times, out);
  }
  closedir(d);
}

}  // namespace

std::map<std::string, std::string> fingerprint(const std::string& dir, bool with_dir_times) {
  std::map<std::string, std::string> out;
  walk(dir, "", with_dir_times, &out);
  return out;
}

std::string fingerprint_diff(const std::map<std::string, std::string>& a,
                             const std::map<std::string, std::string>& b) {
  std::string out;
  for (const auto& [path, desc] : a) {
    auto it = b.find(path);
    if (it == b.end()) out += "- " + path + " (" + desc + ")\n";
    else if (it->second != desc) out += "~ " + path + " (" + desc + " => " + it->second + ")\n";
  }
  for (const auto& [path, desc] : b)
    if (!a.count(path)) out += "+ " + path + " (" + desc + ")\n";
  return out;
}

bool running_as_root() { return geteuid() == 0; }

std::vector<std::string> console_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  auto flush = [&] {
    size_t end = line.find_last_not_of(' ');
    if (end != std::string::npos) lines.push_back(line.substr(0, end + 1));
    line.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\x1b') {
      // CSI: ESC [ parameters final-byte
      if (i + 1 < text.size() && text[i + 1] == '[') {
        i += 2;
        while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7e)) ++i;
      }
    } else if (c == '\r') {
      line.clear();
    } else if (c == '\n') {
      flush();
    } else {
      line += c;
    }
  }
  flush();
  return lines;
}
