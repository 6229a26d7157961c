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

namespace {

bool reject(std::string* why, const std::string& reason) {
  *why = reason;
  return false;
}

bool parse_device(const std::vector<std::string>& w, ExtraEntry* e, std::string* why) {
  *e = ExtraEntry{ExtraEntry::Device, "", 'c', 0, 0, 0600, false, 0, 0, ""};
  uint64_t major, minor;
  if (w.size() < 4 || (w[1] != "c" && w[1] != "b") || !parse_unsigned(w[2], 0xFFF, 10, &major) ||
      !parse_unsigned(w[3], 0xFFFFF, 10, &minor)) {
    return reject(why, "expected PATH c|b MAJOR MINOR [MODE] [UID:GID]");
  }
  e->path = w[0];
  e->device_type = w[1][0];
  e->major = uint32_t(major);
  e->minor = uint32_t(minor);
  if (w.size() > 4 && !parse_mode(w[4], &e->mode)) return reject(why, "bad mode: " + w[4]);
  if (w.size() > 5 && !(e->has_owner = parse_owner(w[5], &e->uid, &e->gid)))
    return reject(why, "bad owner: " + w[5]);
  if (w.size() > 6) return reject(why, "too many fields");
  return true;
}

bool parse_fifo(const std::vector<std::string>& w, ExtraEntry* e, std::string* why) {
  *e = ExtraEntry{ExtraEntry::Fifo, "", 'p', 0, 0, 0600, false, 0, 0, ""};
  if (w.empty() || w.size() > 3) return reject(why, "expected PATH [MODE] [UID:GID]");
  e->path = w[0];
  if (w.size() > 1 && !parse_mode(w[1], &e->mode)) return reject(why, "bad mode: " + w[1]);
  if (w.size() > 2 && !(e->has_owner = parse_owner(w[2], &e->uid, &e->gid)))
    return reject(why, "bad owner: " + w[2]);
  return true;
}

bool parse_symlink(const std::vector<std::string>& w, ExtraEntry* e, std::string* why) {
  *e = ExtraEntry{ExtraEntry::Symlink, "", 'l', 0, 0, 0777, false, 0, 0, ""};
  if (w.size() != 3 || w[1] != "->") return reject(why, "expected PATH -> TARGET");
  e->path = w[0];
  e->target = w[2];
  return true;
}

// The keys that name the package and its relations.
bool parse_identity_key(const std::string& key, const std::string& value, Manifest* m,
                        std::string* why) {
  uint64_t n;
  if (key == "name") {
    if (value.empty() || value.size() > 16) return reject(why, "name must have 1 to 16 bytes");
    m->name = value;
  } else if (key == "version") {
    if (!parse_version(value, &m->version)) return reject(why, "bad version: " + value);
    m->has_version = true;
  } else if (key == "build") {
    if (!parse_unsigned(value, 0xFFFFFFFFu, 10, &n)) return reject(why, "bad build time: " + value);
    m->build = uint32_t(n);
  } else if (key == "architecture") {
    m->has_architecture = true;
    m->architecture = value;
  } else if (key == "description") {
    m->has_description = true;
    m->description = value;
  } else {
    PackageRef ref;
    if (!parse_relation(value, &ref, why)) return false;
    if (key == "depends") m->depends.push_back(ref);
    else if (key == "provides") m->provides.push_back(ref);
    else if (key == "conflicts") m->conflicts.push_back(ref);
    else {
      m->contents.push_back(ref);
      m->has_contents = true;
    }
  }
  return true;
}

// The keys that say what goes into the archive and how.
bool parse_content_key(const std::string& key, const std::string& value, Manifest* m,
                       std::string* why) {
  std::vector<std::string> w = words(value);
  uint64_t n;
  if (key == "image") {
    m->image_file = value;
  } else if (key == "install-script") {
    m->install_script_file = value;
  } else if (key == "uninstall-script") {
    m->uninstall_script_file = value;
  } else if (key == "files") {
    m->files_dir = value;
  } else if (key == "mtime") {
    if (!parse_unsigned(value, 0xFFFFFFFFu, 10, &n)) return reject(why, "bad mtime: " + value);
    m->has_mtime = true;
    m->mtime = uint32_t(n);
  } else if (key == "owner") {
    uint16_t uid, gid;
    if (w.size() != 2 || !parse_owner(w[1], &uid, &gid))
      return reject(why, "expected PATH UID:GID");
    m->owners[w[0]] = {uid, gid};
  } else if (key == "mode") {
    uint16_t mode;
    if (w.size() != 2 || !parse_mode(w[1], &mode)) return reject(why, "expected PATH OCTAL-MODE");
    m->modes[w[0]] = mode;
  } else if (key == "skip") {
    if (w.size() != 1) return reject(why, "expected PATH");
    m->skips.push_back(w[0]);
  } else if (key == "device" || key == "fifo" || key == "symlink") {
    ExtraEntry e;
    bool ok = key == "device" ? parse_device(w, &e, why)
              : key == "fifo" ? parse_fifo(w, &e, why)
                              : parse_symlink(w, &e, why);
    if (!ok) return false;
    m->extras.push_back(e);
  } else if (key == "plain") {
    if (value != "yes" && value != "no") return reject(why, "plain: yes or no");
    m->plain = value == "yes";
  } else if (key == "compression") {
    if (!parse_unsigned(value, 9, 10, &n)) return reject(why, "compression: 0 to 9");
    m->compression = int(n);
  } else {
    return reject(why, "unknown key '" + key + "'");
  }
  return true;
}

bool parse_key(const std::string& key, const std::string& value, Manifest* m, std::string* why) {
  static const char* const kIdentityKeys[] = {"name",    "version",  "build",     "architecture",
                                              "description", "depends", "provides", "conflicts",
                                              "contents"};
  for (const char* k : kIdentityKeys)
    if (key == k) return parse_identity_key(key, value, m, why);
  return parse_content_key(key, value, m, why);
}

}  // namespace

bool parse_manifest(const std::string& path, Manifest* m, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  size_t slash = path.rfind('/');
  m->base_dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);

  std::string line, last_key, why;
  int number = 0;
  auto fail = [&](const std::string& reason) {
    *error = path + ":" + std::to_string(number) + ": " + reason;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = trim(line);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      // A continuation line: only descriptions have them (" ." is an empty line).
      if (last_key != "description") {
        if (t.empty()) continue;
        return fail("continuation line outside a description");
      }
      m->description += "\n";
      if (t != ".") m->description += t;
      continue;
    }
    if (t.empty() || t[0] == '#') {
      last_key.clear();
      continue;
    }
    size_t colon = t.find(':');
    if (colon == std::string::npos) return fail("expected 'key: value'");
    last_key = trim(t.substr(0, colon));
    if (!parse_key(last_key, trim(t.substr(colon + 1)), m, &why)) return fail(why);
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
