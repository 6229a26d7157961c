#include "manifest.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "archive/version_text.h"

namespace kpk {

namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool parse_unsigned(const std::string& text, uint64_t limit, int base, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > limit) return false;
  *value = v;
  return true;
}

bool parse_owner(const std::string& text, uint16_t* uid, uint16_t* gid) {
  size_t colon = text.find(':');
  uint64_t u, g;
  if (colon == std::string::npos || !parse_unsigned(text.substr(0, colon), 0xFFFF, 10, &u) ||
      !parse_unsigned(text.substr(colon + 1), 0xFFFF, 10, &g))
    return false;
  *uid = uint16_t(u);
  *gid = uint16_t(g);
  return true;
}

bool parse_mode(const std::string& text, uint16_t* mode) {
  uint64_t m;
  if (!parse_unsigned(text, 07777, 8, &m)) return false;
  *mode = uint16_t(m);
  return true;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

}  // namespace

bool parse_relation(const std::string& text, PackageRef* ref, std::string* error) {
  std::vector<std::string> w = words(text);
  if (w.empty()) {
    *error = "empty relation";
    return false;
  }
  if (w[0].size() > 16) {
    *error = "name longer than 16 bytes: " + w[0];
    return false;
  }
  *ref = PackageRef{w[0], 0, 0, 0};
  for (size_t i = 1; i < w.size(); i += 2) {
    if (i + 1 >= w.size()) {
      *error = "missing value after '" + w[i] + "' in: " + text;
      return false;
    }
    const std::string& op = w[i];
    const std::string& value = w[i + 1];
    if (op == "priority") {
      char* end = nullptr;
      errno = 0;
      long long p = strtoll(value.c_str(), &end, 10);
      if (errno != 0 || *end != '\0' || p < INT32_MIN || p > INT32_MAX) {
        *error = "bad priority: " + value;
        return false;
      }
      ref->priority = int32_t(p);
      continue;
    }
    uint32_t v;
    if (!parse_version(value, &v)) {
      *error = "bad version: " + value;
      return false;
    }
    if (op == ">=") {
      ref->min_version = v;
    } else if (op == "<=") {
      ref->max_version = v;
    } else if (op == "=") {
      ref->min_version = ref->max_version = v;
    } else {
      *error = "unknown relation operator '" + op + "' in: " + text;
      return false;
    }
  }
  return true;
}

bool parse_manifest(const std::string& path, Manifest* m, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  size_t slash = path.rfind('/');
  m->base_dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);

  std::string line, last_key;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (last_key != "description") {
        if (trim(line).empty()) continue;
        return fail("continuation line outside a description");
      }
      std::string t = trim(line);
      m->description += "\n";
      if (t != ".") m->description += t;
      continue;
    }
    std::string t = trim(line);
    if (t.empty() || t[0] == '#') {
      last_key.clear();
      continue;
    }
    size_t colon = t.find(':');
    if (colon == std::string::npos) return fail("expected 'key: value'");
    std::string key = trim(t.substr(0, colon));
    std::string value = trim(t.substr(colon + 1));
    last_key = key;
    std::vector<std::string> w = words(value);
    uint64_t n;
    if (key == "name") {
      if (value.empty() || value.size() > 16) return fail("name must have 1 to 16 bytes");
      m->name = value;
    } else if (key == "version") {
      if (!parse_version(value, &m->version)) return fail("bad version: " + value);
      m->has_version = true;
    } else if (key == "build") {
      if (!parse_unsigned(value, 0xFFFFFFFFu, 10, &n)) return fail("bad build time: " + value);
      m->build = uint32_t(n);
    } else if (key == "architecture") {
      m->has_architecture = true;
      m->architecture = value;
    } else if (key == "description") {
      m->has_description = true;
      m->description = value;
    } else if (key == "depends" || key == "provides" || key == "conflicts" ||
               key == "contents") {
      PackageRef ref;
      std::string why;
      if (!parse_relation(value, &ref, &why)) return fail(why);
      if (key == "depends") m->depends.push_back(ref);
      else if (key == "provides") m->provides.push_back(ref);
      else if (key == "conflicts") m->conflicts.push_back(ref);
      else {
        m->contents.push_back(ref);
        m->has_contents = true;
      }
    } else if (key == "image") {
      m->image_file = value;
    } else if (key == "install-script") {
      m->install_script_file = value;
    } else if (key == "uninstall-script") {
      m->uninstall_script_file = value;
    } else if (key == "files") {
      m->files_dir = value;
    } else if (key == "mtime") {
      if (!parse_unsigned(value, 0xFFFFFFFFu, 10, &n)) return fail("bad mtime: " + value);
      m->has_mtime = true;
      m->mtime = uint32_t(n);
    } else if (key == "owner") {
      uint16_t uid, gid;
      if (w.size() != 2 || !parse_owner(w[1], &uid, &gid)) return fail("expected PATH UID:GID");
      m->owners[w[0]] = {uid, gid};
    } else if (key == "mode") {
      uint16_t mode;
      if (w.size() != 2 || !parse_mode(w[1], &mode)) return fail("expected PATH OCTAL-MODE");
      m->modes[w[0]] = mode;
    } else if (key == "skip") {
      if (w.size() != 1) return fail("expected PATH");
      m->skips.push_back(w[0]);
    } else if (key == "device") {
      ExtraEntry e{ExtraEntry::Device, "", 'c', 0, 0, 0600, false, 0, 0, ""};
      uint64_t major, minor;
      if (w.size() < 4 || (w[1] != "c" && w[1] != "b") ||
          !parse_unsigned(w[2], 0xFFF, 10, &major) || !parse_unsigned(w[3], 0xFFFFF, 10, &minor))
        return fail("expected PATH c|b MAJOR MINOR [MODE] [UID:GID]");
      e.path = w[0];
      e.device_type = w[1][0];
      e.major = uint32_t(major);
      e.minor = uint32_t(minor);
      if (w.size() > 4 && !parse_mode(w[4], &e.mode)) return fail("bad mode: " + w[4]);
      if (w.size() > 5 && !(e.has_owner = parse_owner(w[5], &e.uid, &e.gid)))
        return fail("bad owner: " + w[5]);
      if (w.size() > 6) return fail("too many fields");
      m->extras.push_back(e);
    } else if (key == "fifo") {
      ExtraEntry e{ExtraEntry::Fifo, "", 'p', 0, 0, 0600, false, 0, 0, ""};
      if (w.empty() || w.size() > 3) return fail("expected PATH [MODE] [UID:GID]");
      e.path = w[0];
      if (w.size() > 1 && !parse_mode(w[1], &e.mode)) return fail("bad mode: " + w[1]);
      if (w.size() > 2 && !(e.has_owner = parse_owner(w[2], &e.uid, &e.gid)))
        return fail("bad owner: " + w[2]);
      m->extras.push_back(e);
    } else if (key == "symlink") {
      ExtraEntry e{ExtraEntry::Symlink, "", 'l', 0, 0, 0777, false, 0, 0, ""};
      if (w.size() != 3 || w[1] != "->") return fail("expected PATH -> TARGET");
      e.path = w[0];
      e.target = w[2];
      m->extras.push_back(e);
    } else if (key == "plain") {
      if (value != "yes" && value != "no") return fail("plain: yes or no");
      m->plain = value == "yes";
    } else if (key == "compression") {
      if (!parse_unsigned(value, 9, 10, &n)) return fail("compression: 0 to 9");
      m->compression = int(n);
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  if (m->name.empty()) {
    *error = path + ": no name";
    return false;
  }
  if (!m->has_version) {
    *error = path + ": no version";
    return false;
  }
  return true;
}

}  // namespace kpk
