// The package manager's rules as scenarios: one text file per case under scenarios/, run by
// one parameterised test. A scenario sets up an installed database, installs archives (built
// and signed here) the way the installation child does, runs apply() or the ordering, and
// compares the console lines, results, files and the database afterwards.
//
//   installed DESC          a record in the database before (files are put on the disk)
//   install DESC            an archive of one package, installed as the child does
//   bundle NAME VERSION [contents=a,b] [depends=...] [unsigned]
//   member DESC             a member of the bundle above (one archive with the bundle)
//   apply VERBOSITY         load the database and run apply()
//   order [older] [messages] DESC | DESC | ...     order a candidate list
//   expect LINE             the console lines of the last action, exactly and in order
//   result VALUE            the last action's result (order: the labels in order)
//   db DESC | db none       the database afterwards, exactly (compared in name order)
//   exists PATH | absent PATH      a path below /flash afterwards
//   holds PATH TEXT         the content of a file below /flash ("\n" for a newline)
//   write PATH TEXT         puts TEXT ("\n" for a newline) into a file at an installer path
//
// DESC is "NAME VERSION" and attributes: build=N arch=X depends=R,R provides=R conflicts=R
// files=a,b (in an archive, "a->t" is a link to t and "a/" a directory; "\n" in a name is a
// newline) bundle=NAME disabled=user|auto enabled=user isbundle
// schedule=WORD image plain unsigned broken-header (a member whose header part is cut to 10
// bytes) damaged (signed, but its file data is cut short) flags=0xNN choices=name:1,name:0
// uninstall=TEXT (an uninstall script). A relation R
// is name[>=V][<=V][!priority].
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "archive/package_walk.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "pkgmgr/database.h"
#include "pkgmgr/ordering.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/version.h"
#include "system/output.h"
#include "system/root.h"
#include "testing/scratch_root.h"
#include "testing/signing.h"
#include "testing/stream_util.h"
#include "testing/tree_util.h"

namespace {

struct Desc {
  Package p;
  std::string disabled_word, schedule;
  bool enabled_user = false, image = false, plain = false, unsigned_ = false;
  std::string uninstall;  // the uninstall script, if any
  bool broken_header = false;
  bool damaged = false;  // genuine, but its file data is cut short
  uint32_t flags = kUpgrade;
  Choices choices;
  std::vector<std::string> files;
};

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, sep))
    if (!item.empty()) out.push_back(item);
  return out;
}

// "\n" in a scenario's text stands for a newline.
std::string unescape(std::string text) {
  for (size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
  return text;
}

uint32_t version_of(const std::string& text) {
  uint32_t v = 0;
  if (!parse_version(text, &v)) ADD_FAILURE() << "bad version " << text;
  return v;
}

// name[>=V][<=V][!priority]
std::vector<PackageRef> relations(const std::string& text) {
  std::vector<PackageRef> out;
  for (std::string item : split(text, ',')) {
    PackageRef r;
    size_t bang = item.find('!');
    if (bang != std::string::npos) {
      r.priority = std::stoi(item.substr(bang + 1));
      item.resize(bang);
    }
    size_t le = item.find("<=");
    if (le != std::string::npos) {
      r.max_version = version_of(item.substr(le + 2));
      item.resize(le);
    }
    size_t ge = item.find(">=");
    if (ge != std::string::npos) {
      r.min_version = version_of(item.substr(ge + 2));
      item.resize(ge);
    }
    if (item.empty()) ADD_FAILURE() << "a relation without a name in " << text;
    r.name = item;
    out.push_back(r);
  }
  return out;
}

std::string relations_text(const std::vector<PackageRef>& refs) {
  std::string out;
  for (const PackageRef& r : refs) {
    if (!out.empty()) out += ",";
    out += r.name;
    if (r.min_version) out += std::string(">=") + version_text(r.min_version);
    if (r.max_version) out += std::string("<=") + version_text(r.max_version);
    if (r.priority) out += "!" + std::to_string(r.priority);
  }
  return out;
}

Desc parse_desc(const std::vector<std::string>& words, size_t from) {
  Desc d;
  if (words.size() < from + 2) {
    ADD_FAILURE() << "a package needs a name and a version";
    return d;
  }
  d.p.name = words[from] == "-" ? "" : words[from];
  d.p.version = version_of(words[from + 1]);
  for (size_t i = from + 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    size_t eq = w.find('=');
    std::string key = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
    if (key == "build") d.p.build = uint32_t(std::stoul(value));
    else if (key == "arch") d.p.architecture = value;
    else if (key == "depends") d.p.depends = relations(value);
    else if (key == "provides") d.p.provides = relations(value);
    else if (key == "conflicts") d.p.conflicts = relations(value);
    else if (key == "files") {
      d.files = split(value, ',');
      for (std::string& f : d.files) f = unescape(f);
    }
    else if (key == "bundle") d.p.bundle = PackageRef{value, 0, 0, 0};
    else if (key == "disabled") d.disabled_word = value;
    else if (key == "enabled") d.enabled_user = true;
    else if (key == "isbundle") d.p.is_bundle = true;
    else if (key == "schedule") d.schedule = value;
    else if (key == "image") d.image = true;
    else if (key == "plain") d.plain = true;
    else if (key == "uninstall") d.uninstall = unescape(value);
    else if (key == "unsigned") d.unsigned_ = true;
    else if (key == "broken-header") d.broken_header = true;
    else if (key == "damaged") d.damaged = true;
    else if (key == "contents") continue;  // read by the bundle verb
    else if (key == "flags") d.flags = uint32_t(std::stoul(value, nullptr, 16));
    else if (key == "choices") {
      for (const std::string& c : split(value, ','))
        d.choices[c.substr(0, c.find(':'))] = c.substr(c.find(':') + 1) == "1";
    } else ADD_FAILURE() << "unknown attribute " << w;
  }
  return d;
}

// The canonical one-line form of a database record.
std::string render(const Package& p) {
  std::string out = p.name + " " + version_text(p.version);
  if (p.build) out += " build=" + std::to_string(p.build);
  if (!p.depends.empty()) out += " depends=" + relations_text(p.depends);
  if (!p.provides.empty()) out += " provides=" + relations_text(p.provides);
  if (!p.conflicts.empty()) out += " conflicts=" + relations_text(p.conflicts);
  if (!p.bundle.name.empty()) out += " bundle=" + p.bundle.name;
  if (p.disabled) out += std::string(" disabled=") + (p.user_forced ? "user" : "auto");
  if (!p.disabled && p.user_forced) out += " enabled=user";
  if (p.is_bundle) out += " isbundle";
  std::string files;
  for (const std::string& f : p.files) files += (files.empty() ? "" : ",") + f.substr(1);
  if (!files.empty()) out += " files=" + files;
  if (p.pending == PendingAction::Uninstall) out += " broken";
  return out;
}

std::string render_desc(Desc d) {
  if (!d.disabled_word.empty()) {
    d.p.disabled = true;
    d.p.user_forced = d.disabled_word == "user";
  } else if (d.enabled_user) {
    d.p.user_forced = true;
  }
  for (const std::string& f : d.files) d.p.files.insert("/" + f);
  return render(d.p);
}

kpk::PackageSpec archive_spec(const Desc& d) {
  kpk::PackageSpec s;
  s.name = d.p.name;
  s.version = d.p.version;
  s.build = d.p.build;
  s.has_architecture = !d.p.architecture.empty();
  s.architecture = d.p.architecture;
  s.depends = d.p.depends;
  s.provides = d.p.provides;
  s.conflicts = d.p.conflicts;
  s.has_image = d.image;
  s.image = "image of " + d.p.name;
  s.has_uninstall_script = !d.uninstall.empty();
  s.uninstall_script = d.uninstall;
  s.has_files = !d.files.empty();
  for (const std::string& f : d.files) {
    kpk::FileEntry e;
    size_t arrow = f.find("->");
    if (arrow != std::string::npos) {
      e.name = f.substr(0, arrow);
      e.mode = 0120777;
      e.content = f.substr(arrow + 2);
    } else if (f.back() == '/') {
      e.name = f;
      e.mode = 040755;
    } else {
      e.name = f;
      e.mode = 0100644;
      e.content = f + " of " + package_label(d.p) + "\n";
    }
    s.files.push_back(e);
  }
  return s;
}

std::string member_parts(const Desc& d) {
  std::string parts = kpk::package_parts(archive_spec(d));
  // A header part of 10 bytes, too short for the header record.
  if (d.broken_header) parts = kpk::part(PackageHeader, parts.substr(6, 10)) + parts.substr(38);
  if (d.damaged) {
    // The file data loses its last bytes (the end of the deflate data and the check value):
    // the first entries are made before the installation meets the cut.
    for (size_t at = 0; at + 6 <= parts.size();) {
      const uint8_t* h = reinterpret_cast<const uint8_t*>(parts.data() + at);
      uint32_t length = load_le32(h + 2);
      if (load_le16(h) == FileData && length > 8) {
        parts = parts.substr(0, at) + kpk::part(FileData, parts.substr(at + 6, length - 8)) +
                parts.substr(at + 6 + length);
        break;
      }
      at += 6 + length;
    }
  }
  return d.unsigned_ ? parts : signed_parts(parts);
}

// Ends the test program (SIGALRM) when an installation does not finish in time, so that a
// loop that never ends fails the test instead of hanging it.
class Deadline {
 public:
  explicit Deadline(unsigned seconds) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGALRM, &action, &saved_);
    alarm(seconds);
  }
  ~Deadline() {
    alarm(0);
    sigaction(SIGALRM, &saved_, nullptr);
  }

 private:
  struct sigaction saved_;
};

class Scenario : public ScratchRoot, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    ScratchRoot::SetUp();
    make_dirs("/flash/var/pdb");
    make_dirs("/ram/pdb");
  }

  void add_installed(const Desc& d) {
    Package p;
    p.name = d.p.name;
    p.version = d.p.version;
    p.build = d.p.build;
    p.depends = d.p.depends;
    p.provides = d.p.provides;
    p.conflicts = d.p.conflicts;
    p.bundle = d.p.bundle;
    p.is_bundle = d.p.is_bundle;
    p.disabled = !d.disabled_word.empty();
    p.user_forced = d.disabled_word == "user" || d.enabled_user;
    for (const std::string& f : d.files) {
      p.files.insert("/" + f);
      put(host("/flash/" + f), f + " of " + package_label(p) + "\n");
    }
    MessageChannel messages;
    ASSERT_TRUE(make_dirs(record_dir(p)));
    ASSERT_TRUE(write_record(p, messages));
    if (!d.schedule.empty()) put(host("/ram/pdb/" + p.name + "/schedule"), d.schedule + "\n");
  }

  // One archive through the manager, as the installation child runs it: walked and judged
  // first, then installed from the same bytes.
  int install(const std::string& archive, const Desc& d) {
    Deadline deadline(20);
    PackageManager pm;
    open_repository(pm, false);
    WalkedArchive walked;
    MemoryStream first(archive);
    PartReader walk(first, true);
    walk_archive(walk, WalkMode::kImage, &walked);
    MemoryStream in(archive);
    std::string image_name;
    return int(pm.install_archive(in, d.flags, d.choices, &image_name, walked));
  }

  std::vector<std::string> database() {
    PackageManager pm;
    open_repository(pm, true);
    std::vector<std::string> out;
    for (const auto& p : pm.installed()) out.push_back(render(*p));
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_P(Scenario, Runs) {
  std::ifstream file(std::string(KEST_SOURCE_DIR) + "/src/pkgmgr/scenarios/" + GetParam());
  ASSERT_TRUE(file) << GetParam();
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);

  std::vector<std::string> output, expected, want_db;
  std::string result, want_result;
  bool have_action = false, check_db = false;
  auto finish_action = [&](int line_number) {
    if (!have_action) return;
    EXPECT_EQ(output, expected) << "console of the action before line " << line_number;
    if (!want_result.empty()) {
      EXPECT_EQ(result, want_result) << "before line " << line_number;
    }
    expected.clear();
    want_result.clear();
    have_action = false;
  };

  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> words = split(line, ' ');
    const std::string& verb = words[0];
    std::string rest = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
    SCOPED_TRACE(GetParam() + ":" + std::to_string(i + 1) + ": " + line);
    if (verb == "expect") {
      expected.push_back(rest);
      continue;
    }
    if (verb == "result") {
      want_result = rest;
      continue;
    }
    if (verb == "db") {
      check_db = true;
      if (rest != "none") want_db.push_back(render_desc(parse_desc(words, 1)));
      continue;
    }
    if (verb == "exists" || verb == "absent") {
      finish_action(int(i + 1));
      EXPECT_EQ(exists(host("/flash/" + rest)), verb == "exists") << rest;
      continue;
    }
    if (verb == "holds") {
      finish_action(int(i + 1));
      std::string path = words[1], text = unescape(rest.substr(path.size() + 1));
      EXPECT_EQ(get(host("/flash/" + path)), text) << path;
      continue;
    }
    if (verb == "member") continue;  // taken with its bundle
    if (verb == "write") {
      std::string path = words[1], text = unescape(rest.substr(path.size() + 1));
      put(host(path), text);
      continue;
    }
    finish_action(int(i + 1));
    OutputCapture capture;
    if (verb == "installed") {
      add_installed(parse_desc(words, 1));
    } else if (verb == "install") {
      Desc d = parse_desc(words, 1);
      std::string parts = member_parts(d);
      std::string archive =
          kpk::file_header(d.plain ? kPlainMagic : kRegularMagic, uint32_t(parts.size())) + parts;
      result = std::to_string(install(archive, d));
      have_action = true;
    } else if (verb == "bundle") {
      Desc b = parse_desc(words, 1);
      kpk::BundleSpec spec;
      spec.name = b.p.name;
      spec.version = b.p.version;
      spec.build = b.p.build;
      spec.depends = b.p.depends;
      spec.conflicts = b.p.conflicts;
      spec.provides = b.p.provides;
      for (size_t w = 3; w < words.size(); ++w) {
        if (words[w].rfind("contents=", 0) == 0) {
          spec.has_contents = true;
          spec.contents = relations(words[w].substr(9));
        }
      }
      std::vector<std::string> members;
      while (i + 1 < lines.size() && lines[i + 1].rfind("member ", 0) == 0)
        members.push_back(member_parts(parse_desc(split(lines[++i], ' '), 1)));
      result = std::to_string(install(kpk::bundle_archive(spec, members, false), b));
      have_action = true;
    } else if (verb == "apply") {
      PackageManager pm;
      open_repository(pm, false);
      result = pm.apply(std::stoi(rest)) ? "changed" : "unchanged";
      have_action = true;
    } else if (verb == "order") {
      bool older = false, messages = false;
      std::string list = rest;
      for (;;) {
        if (list.rfind("older ", 0) == 0) older = true, list = list.substr(6);
        else if (list.rfind("messages ", 0) == 0) messages = true, list = list.substr(9);
        else break;
      }
      std::vector<std::unique_ptr<PackageInfo>> owned;
      std::vector<PackageInfo*> candidates;
      for (const std::string& item : split(list, '|')) {
        Desc d = parse_desc(split(item, ' '), 0);
        auto p = std::make_unique<PackageInfo>(std::move(static_cast<PackageInfo&>(d.p)));
        candidates.push_back(p.get());
        owned.push_back(std::move(p));
      }
      result = "";
      for (PackageInfo* p : order_packages(candidates, older, messages))
        result += (result.empty() ? "" : " ") + package_label(*p);
      have_action = true;
    } else {
      ADD_FAILURE() << "unknown verb " << verb;
    }
    output = console_lines(capture.take());
  }
  finish_action(int(lines.size()));
  if (check_db) {
    std::sort(want_db.begin(), want_db.end());
    EXPECT_EQ(database(), want_db);
  }
}

std::vector<std::string> scenario_files() {
  std::vector<std::string> out;
  std::string dir = std::string(KEST_SOURCE_DIR) + "/src/pkgmgr/scenarios";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") out.push_back(name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(PackageManager, Scenario, ::testing::ValuesIn(scenario_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 4);
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
