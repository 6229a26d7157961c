#include "pkgmgr/database.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "pkgmgr/package_manager.h"
#include "system/output.h"
#include "testing/scratch_root.h"

namespace {

namespace fs = std::filesystem;

class Database : public ScratchRoot {
 protected:
  std::string rec(const std::string& name) const { return host("/flash/var/pdb/" + name + "/"); }

  MessageChannel messages_;

  std::unique_ptr<Package> load(const std::string& name) {
    auto package = std::make_unique<Package>();
    load_record(*package, name);
    return package;
  }

  static Package sample() {
    Package p;
    p.name = "foo";
    p.version = 0x01006600;  // 1.0
    p.build = 1234567890;
    p.depends = {{"base", 0, 0, 0}, {"libc", 0x02006600, 0x0300FFFF, 0}};
    p.provides = {{"mta", 0x01006600, 0, -3}, {"smtp", 0, 0, 7}};
    p.conflicts = {{"sendmail", 0, 0x01000000, 0}};
    p.files = {"/bin/foo", "/etc/foo.conf", "/usr/lib/libfoo.so"};
    return p;
  }
};

TEST_F(Database, RecordDirAndMakeDirs) {
  Package p;
  p.name = "ppp";
  EXPECT_EQ(record_dir(p), "/flash/var/pdb/ppp/");

  mode_t old_mask = umask(0);
  bool made = make_dirs("/flash/var/pdb/ppp/");
  umask(old_mask);
  ASSERT_TRUE(made);
  struct stat st;
  ASSERT_EQ(stat(rec("ppp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  ASSERT_EQ(stat(host("/flash").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0770u);
  EXPECT_TRUE(make_dirs("/flash/var/pdb/ppp"));  // existing: fine

  put(host("/flash/file"), "x");
  EXPECT_FALSE(make_dirs("/flash/file/sub"));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(make_dirs("/flash/file"));
}

TEST_F(Database, WritesEveryRecordFileByteForByte) {
  Package p = sample();
  p.bundle = {"suite", 0x02006600, 0x02006600, 0};
  p.disabled = true;
  p.user_forced = true;
  ASSERT_TRUE(make_dirs(record_dir(p)));
  ASSERT_TRUE(write_record(p, messages_));
  std::string dir = rec("foo");
  EXPECT_EQ(listing(dir), "bundle conflicts deps disabled files provides version ");
  EXPECT_EQ(get(dir + "version"), "16803328 1234567890\n");
  EXPECT_EQ(get(dir + "deps"), "base 0 0\nlibc 33580544 50397183\n");
  EXPECT_EQ(get(dir + "provides"), "mta 16803328 0 -3\nsmtp 0 0 7\n");
  EXPECT_EQ(get(dir + "conflicts"), "sendmail 0 16777216\n");
  EXPECT_EQ(get(dir + "bundle"), "suite\n");
  EXPECT_EQ(get(dir + "disabled"), "user\n");
  EXPECT_EQ(get(dir + "files"), "bin/foo\netc/foo.conf\nusr/lib/libfoo.so\n");

  // The same record rewritten for a plainer state: every file that no longer applies goes.
  Package q;
  q.name = "foo";
  q.version = 7;
  q.has_image = true;
  put(dir + "oninstall", "#!/bin/bash\n");
  put(dir + "image", "archive");
  ASSERT_TRUE(write_record(q, messages_));
  EXPECT_EQ(listing(dir), "deps files image version ");
  EXPECT_EQ(get(dir + "version"), "7 0\n");
  EXPECT_EQ(get(dir + "deps"), "");
  EXPECT_EQ(get(dir + "files"), "");

  q.disabled = true;  // chosen automatically
  ASSERT_TRUE(write_record(q, messages_));
  EXPECT_EQ(get(dir + "disabled"), "auto\n");
  q.disabled = false;
  q.user_forced = true;
  ASSERT_TRUE(write_record(q, messages_));
  EXPECT_FALSE(exists(dir + "disabled"));
  EXPECT_EQ(get(dir + "enabled"), "user\n");
  q.user_forced = false;
  q.is_bundle = true;  // a bundle owns no files: the list must be absent
  ASSERT_TRUE(write_record(q, messages_));
  EXPECT_EQ(listing(dir), "deps image version ");
}

TEST_F(Database, RelativeInstallsRecordTheirFilesWithADot) {
  Package p = sample();
  p.files = {"./bin/tool", "./etc/tool.rc"};
  p.disabled = true;
  ASSERT_TRUE(make_dirs(record_dir(p)));
  ASSERT_TRUE(write_record(p, messages_));
  EXPECT_EQ(listing(rec("foo")), "conflicts deps disabled files provides version ");
  EXPECT_EQ(get(rec("foo") + "files"), "./bin/tool\n./etc/tool.rc\n");
  EXPECT_EQ(get(rec("foo") + "disabled"), "auto\n");
}

TEST_F(Database, LoadsAWholeRecordAndWritesItBackUnchanged) {
  std::string dir = rec("foo");
  const std::map<std::string, std::string> files = {
      {"version", "16803328 1234567890\n"},
      {"deps", "base 0 0\nlibc 33580544 50397183\n"},
      {"provides", "mta 16803328 0 -3\nsmtp 0 0 7\n"},
      {"conflicts", "sendmail 0 16777216\n"},
      {"bundle", "suite\n"},
      {"disabled", "user\n"},
      {"files", "bin/foo\netc/foo.conf\nusr/lib/libfoo.so\n"},
  };
  for (const auto& [name, bytes] : files) put(dir + name, bytes);

  auto p = load("foo");
  EXPECT_EQ(p->name, "foo");
  EXPECT_EQ(p->version, 0x01006600u);
  EXPECT_EQ(p->build, 1234567890u);
  ASSERT_EQ(p->depends.size(), 2u);
  EXPECT_EQ(p->depends[1].name, "libc");
  EXPECT_EQ(p->depends[1].min_version, 0x02006600u);
  EXPECT_EQ(p->depends[1].max_version, 0x0300FFFFu);
  ASSERT_EQ(p->provides.size(), 2u);
  EXPECT_EQ(p->provides[0].priority, -3);
  EXPECT_EQ(p->provides[1].priority, 7);
  ASSERT_EQ(p->conflicts.size(), 1u);
  EXPECT_EQ(p->conflicts[0].max_version, 16777216u);
  EXPECT_EQ(p->bundle.name, "suite");
  EXPECT_EQ(p->bundle.min_version, 0u);
  EXPECT_TRUE(p->disabled);
  EXPECT_TRUE(p->user_forced);
  EXPECT_FALSE(p->is_bundle);
  EXPECT_EQ(p->files, (std::set<std::string>{"/bin/foo", "/etc/foo.conf", "/usr/lib/libfoo.so"}));
  EXPECT_EQ(p->pending, PendingAction::None);

  fs::remove_all(dir);
  ASSERT_TRUE(make_dirs("/flash/var/pdb/foo/"));
  ASSERT_TRUE(write_record(*p, messages_));
  for (const auto& [name, bytes] : files) EXPECT_EQ(get(dir + name), bytes) << name;
  EXPECT_EQ(listing(dir), "bundle conflicts deps disabled files provides version ");

  auto again = load("foo");
  EXPECT_EQ(again->files, p->files);
  EXPECT_EQ(again->provides.size(), 2u);
  EXPECT_EQ(again->pending, PendingAction::None);
}

TEST_F(Database, FilesListLinesAreReadAsPathsBelowTheTarget) {
  std::string dir = rec("f");
  put(dir + "version", "1 2\n");
  // One leading slash or none, doubled slashes and "." read as the same path; a relative
  // install's "./" stays; a line that leaves the target is dropped.
  put(dir + "files", "bin/x\n/bin/y\n\n//odd\n./run/tool\nbin/./z\n../etc/passwd\nbin/../../x\n"
                     "last-without-newline");
  auto p = load("f");
  EXPECT_EQ(p->files, (std::set<std::string>{"/bin/x", "/bin/y", "/odd", "./run/tool", "/bin/z",
                                             "/last-without-newline"}));
  EXPECT_EQ(p->pending, PendingAction::None);
  fs::remove(dir + "files");
  ASSERT_TRUE(write_record(*p, messages_));
  EXPECT_EQ(get(dir + "files"), "./run/tool\nbin/x\nbin/y\nbin/z\nlast-without-newline\nodd\n");

  // Without a files list the record is a bundle's.
  fs::remove(dir + "files");
  auto bundle = load("f");
  EXPECT_TRUE(bundle->is_bundle);
  EXPECT_TRUE(bundle->files.empty());
}

TEST_F(Database, DamagedRecordsAreScheduledForUninstall) {
  struct Case {
    const char* file;
    const char* bytes;
    size_t entries;  // of the list the file feeds
  };
  const Case cases[] = {
      {"deps", "a 1 2\nb 3 4\nc 5\n", 2},        // last line lacks the upper bound
      {"deps", "a 1 2\nb\n", 1},
      {"deps", "a 1 x\n", 0},
      {"deps", "a 1 4294967296\n", 0},           // beyond 32 bits
      {"provides", "p 1 2 3\nq 1 2\n", 1},       // priority column missing
      {"provides", "p 1 2 2147483648\n", 0},     // priority beyond 32 bits
      {"conflicts", "k 0 0\nl\n", 1},
      {"version", "", 0},
      {"version", "16803328\n", 0},
      {"version", "1.0 5\n", 0},
      {"version", "garbage\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.bytes);
    fs::remove_all(rec("d"));
    put(rec("d") + "version", "5 6\n");
    put(rec("d") + "files", "");
    put(rec("d") + c.file, c.bytes);
    auto p = load("d");
    EXPECT_EQ(p->pending, PendingAction::Uninstall);
    std::string file = c.file;
    size_t entries = file == "deps"       ? p->depends.size()
                     : file == "provides" ? p->provides.size()
                                          : p->conflicts.size();
    if (file != "version") {
      EXPECT_EQ(entries, c.entries);
    }
  }

  // No version file at all.
  fs::remove(rec("d") + "version");
  fs::remove(rec("d") + "conflicts");
  EXPECT_EQ(load("d")->pending, PendingAction::Uninstall);
}

TEST_F(Database, EmptyOrAbsentListsAreNormal) {
  put(rec("e") + "version", "5 6\n");
  auto absent = load("e");
  EXPECT_EQ(absent->pending, PendingAction::None);
  EXPECT_TRUE(absent->depends.empty());
  EXPECT_FALSE(absent->disabled);
  EXPECT_FALSE(absent->user_forced);
  EXPECT_TRUE(absent->bundle.name.empty());

  put(rec("e") + "deps", "");
  put(rec("e") + "provides", "\n\n  \n");
  put(rec("e") + "bundle", "");
  auto empty = load("e");
  EXPECT_EQ(empty->pending, PendingAction::None);
  EXPECT_TRUE(empty->depends.empty());
  EXPECT_TRUE(empty->provides.empty());
  EXPECT_TRUE(empty->bundle.name.empty());

  // Entries separated by any blanks, and a bundle name followed by more words.
  put(rec("e") + "deps", "  a\t1 2 b\n3\n4");
  put(rec("e") + "bundle", "  suite extra\n");
  auto spaced = load("e");
  EXPECT_EQ(spaced->pending, PendingAction::None);
  ASSERT_EQ(spaced->depends.size(), 2u);
  EXPECT_EQ(spaced->depends[1].name, "b");
  EXPECT_EQ(spaced->depends[1].max_version, 4u);
  EXPECT_EQ(spaced->bundle.name, "suite");
}

TEST_F(Database, DisabledAndEnabledFiles) {
  struct Case {
    const char* disabled;  // null: no file
    bool enabled_file;
    bool disabled_result;
    bool user_forced;
  };
  const Case cases[] = {
      {"auto\n", false, true, false}, {"auto", false, true, false},
      {"auto\nuser\n", false, true, false}, {"user\n", false, true, true},
      {"", false, true, true},        {"auto \n", false, true, true},
      {"automatic\n", false, true, true}, {"auto\n", true, true, false},
      {nullptr, true, false, true},   {nullptr, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.disabled ? c.disabled : "(none)") + (c.enabled_file ? " +enabled" : ""));
    fs::remove_all(rec("s"));
    put(rec("s") + "version", "1 1\n");
    if (c.disabled) put(rec("s") + "disabled", c.disabled);
    if (c.enabled_file) put(rec("s") + "enabled", "user\n");
    auto p = load("s");
    EXPECT_EQ(p->disabled, c.disabled_result);
    EXPECT_EQ(p->user_forced, c.user_forced);
  }
}

TEST_F(Database, ScheduleFilesAreConsumed) {
  struct Case {
    const char* word;
    PendingAction pending;
    bool user_forced;
  };
  const Case cases[] = {
      {"uninstall\n", PendingAction::Uninstall, false},
      {"enable\n", PendingAction::Enable, true},
      {"  disable", PendingAction::Disable, true},
      {"reboot\n", PendingAction::None, false},
      {"Enable\n", PendingAction::None, false},
      {"", PendingAction::None, false},
  };
  std::string schedule = host("/ram/pdb/s/schedule");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    put(rec("s") + "version", "1 1\n");
    put(schedule, c.word);
    auto p = load("s");
    EXPECT_EQ(p->pending, c.pending);
    EXPECT_EQ(p->user_forced, c.user_forced);
    EXPECT_FALSE(exists(schedule));
  }
  // The request of the schedule wins over a damaged record, and no file is no request.
  fs::remove(rec("s") + "version");
  put(schedule, "enable");
  EXPECT_EQ(load("s")->pending, PendingAction::Enable);
  EXPECT_EQ(load("s")->pending, PendingAction::Uninstall);
}

TEST_F(Database, OpenRepositoryLoadsEveryEntryButDotNames) {
  put(rec("alpha") + "version", "1 1\n");
  put(rec("alpha") + "files", "bin/a\n");
  put(rec(".hidden") + "version", "1 1\n");
  put(host("/flash/var/pdb/stray"), "not a directory\n");
  PackageManager pm;
  {
    OutputCapture out;
    open_repository(pm, false);
    EXPECT_EQ(out.text(), "");
  }
  auto& installed = pm.installed();
  ASSERT_EQ(installed.size(), 2u);
  std::map<std::string, const Package*> by_name;
  for (const auto& p : installed) by_name[p->name] = p.get();
  ASSERT_TRUE(by_name.count("alpha"));
  ASSERT_TRUE(by_name.count("stray"));
  EXPECT_EQ(by_name["alpha"]->pending, PendingAction::None);
  EXPECT_EQ(pm.owner_of("/bin/a"), "alpha");
  // A plain file in the repository is a record without anything readable.
  EXPECT_EQ(by_name["stray"]->pending, PendingAction::Uninstall);
  EXPECT_TRUE(by_name["stray"]->is_bundle);
  EXPECT_FALSE(pm.quiet());
}

TEST_F(Database, OpenRepositoryWithoutRepositoryWarnsUnlessQuiet) {
  {
    PackageManager pm;
    OutputCapture out;
    open_repository(pm, false);
    EXPECT_EQ(out.text(), "WARNING: could not open repo\n");
    EXPECT_TRUE(pm.installed().empty());
  }
  PackageManager pm;
  OutputCapture out;
  open_repository(pm, true);
  EXPECT_EQ(out.text(), "");
  EXPECT_TRUE(pm.quiet());
}

TEST_F(Database, HostileRecordFilesNeitherHangNorExhaustMemory) {
  std::string dir = rec("h");
  fs::create_directories(dir);
  put(dir + "version", "1 1\n");
  // A FIFO nobody writes to would block an ordinary open or read for ever.
  ASSERT_EQ(mkfifo((dir + "deps").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir + "disabled").c_str(), 0600), 0);
  fs::create_directories(host("/ram/pdb/h"));
  ASSERT_EQ(mkfifo(host("/ram/pdb/h/schedule").c_str(), 0600), 0);
  // A device that never ends as the files list, and a huge sparse file as the provisions.
  fs::create_symlink("/dev/zero", dir + "files");
  {
    int fd = open((dir + "provides").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(1) << 30), 0);
    close(fd);
  }
  // A single word of 8 MiB.
  put(dir + "conflicts", std::string(8u << 20, 'w') + " 1 2\n");
  alarm(60);  // a hang ends the test run instead of blocking it
  auto p = load("h");
  alarm(0);
  EXPECT_EQ(p->version, 1u);
  EXPECT_TRUE(p->depends.empty());
  EXPECT_TRUE(p->provides.empty());
  EXPECT_TRUE(p->conflicts.empty());
  EXPECT_FALSE(p->is_bundle);
  EXPECT_TRUE(p->files.empty());
  EXPECT_FALSE(p->disabled);
  EXPECT_EQ(p->pending, PendingAction::Uninstall);
  EXPECT_FALSE(exists(host("/ram/pdb/h/schedule")));
}

TEST_F(Database, OversizedOrBinaryFilesListsAreNotTrusted) {
  std::string dir = rec("big");
  put(dir + "version", "1 1\n");
  // A line with a NUL byte would name a different file than it says.
  put(dir + "files", std::string("bin/ok\nbin/sh\0trailer\n", 22) + "\xff\xfe\n");
  auto p = load("big");
  EXPECT_EQ(p->files, (std::set<std::string>{"/bin/ok", "/\xff\xfe"}));
  EXPECT_EQ(p->pending, PendingAction::None);

  // A list beyond what any real package holds is read only in part: the package is then
  // removed rather than kept with files nobody knows of.
  std::string list;
  size_t lines = 0;
  for (; list.size() <= (5u << 20); ++lines) list += "usr/share/file" + std::to_string(lines) + "\n";
  put(dir + "files", list);
  auto big = load("big");
  EXPECT_EQ(big->pending, PendingAction::Uninstall);
  EXPECT_GT(big->files.size(), 100000u);
  EXPECT_LT(big->files.size(), lines);
}

TEST_F(Database, RemoveRecordKeepsDotEntries) {
  Package p;
  p.name = "gone";
  put(rec("gone") + "version", "1 1\n");
  put(rec("gone") + "files", "");
  fs::create_directories(rec("gone") + "emptydir");
  remove_record(p);
  EXPECT_FALSE(exists(rec("gone")));

  put(rec("gone") + "version", "1 1\n");
  put(rec("gone") + ".keep", "");
  remove_record(p);
  EXPECT_EQ(listing(rec("gone")), ".keep ");

  p.name = "never-installed";
  remove_record(p);  // nothing to open: nothing happens
  EXPECT_FALSE(exists(rec("never-installed")));
}

TEST_F(Database, MarkDisabledAndEnabled) {
  Package p;
  p.name = "m";
  ASSERT_TRUE(make_dirs(record_dir(p)));
  put(rec("m") + "enabled", "user\n");
  p.pending = PendingAction::Disable;
  mark_disabled(p);
  EXPECT_TRUE(p.disabled);
  EXPECT_EQ(p.pending, PendingAction::None);
  EXPECT_EQ(listing(rec("m")), "disabled ");
  EXPECT_EQ(get(rec("m") + "disabled"), "auto\n");

  p.user_forced = true;
  mark_disabled(p);
  EXPECT_EQ(get(rec("m") + "disabled"), "user\n");

  p.pending = PendingAction::Enable;
  mark_enabled(p);
  EXPECT_FALSE(p.disabled);
  EXPECT_EQ(p.pending, PendingAction::None);
  EXPECT_EQ(listing(rec("m")), "enabled ");
  EXPECT_EQ(get(rec("m") + "enabled"), "user\n");

  p.user_forced = false;
  mark_enabled(p);
  EXPECT_EQ(listing(rec("m")), "");

  // A bundle's nameless stand-in has no record: its state changes in memory only, and nothing
  // is written into (or deleted from) the repository directory itself.
  Package stand_in;
  mark_disabled(stand_in);
  EXPECT_TRUE(stand_in.disabled);
  EXPECT_EQ(listing(rec("")), "m ");
  put(rec("") + "enabled", "x");
  stand_in.user_forced = true;
  mark_enabled(stand_in);
  EXPECT_FALSE(stand_in.disabled);
  EXPECT_EQ(get(rec("") + "enabled"), "x");
}

TEST_F(Database, WriteFailuresNameTheRecordFileAndStop) {
  struct Case {
    const char* occupied;  // record file whose path is taken by a directory
    const char* message;
    const char* left;      // record files written before the failure
  };
  const Case cases[] = {
      {"version", "could not create meta/version: Is a directory", "version "},
      {"deps", "could not create meta/deps: Is a directory", "deps version "},
      {"provides", "could not create meta/provides: Is a directory", "deps provides version "},
      {"conflicts", "could not create meta/conflicts: Is a directory",
       "conflicts deps provides version "},
      {"bundle", "could not create meta/bundle: Is a directory",
       "bundle conflicts deps provides version "},
      {"disabled", "could not create meta/disabled: Is a directory",
       "bundle conflicts deps disabled provides version "},
      {"files", "could not create meta/files: Is a directory",
       "bundle conflicts deps disabled files provides version "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.occupied);
    fs::remove_all(rec("foo"));
    fs::create_directories(rec("foo") + c.occupied);
    Package p = sample();
    p.bundle = {"suite", 0x02006600, 0x02006600, 0};
    p.disabled = true;
    OutputCapture out;
    EXPECT_FALSE(write_record(p, messages_));
    // A bundle member is named by its bundle.
    EXPECT_EQ(out.text(), std::string("ERROR: installation of suite-2.0 failed: ") + c.message + "\n");
    EXPECT_EQ(listing(rec("foo")), c.left);
  }

  // A package of its own is named by its own label.
  fs::remove_all(rec("foo"));
  fs::create_directories(rec("foo") + "enabled");
  Package p = sample();
  p.user_forced = true;
  OutputCapture out;
  EXPECT_FALSE(write_record(p, messages_));
  EXPECT_EQ(out.text(),
            "ERROR: installation of foo-1.0 failed: could not create meta/enabled: Is a directory\n");

  // Without the record directory nothing can be created.
  fs::remove_all(rec("foo"));
  out.take();
  EXPECT_FALSE(write_record(p, messages_));
  EXPECT_EQ(out.text(), "ERROR: installation of foo-1.0 failed: could not create meta/version: "
                        "No such file or directory\n");
}

TEST_F(Database, RecordFilesAreNotWrittenThroughSymbolicLinks) {
  std::string outside = scratch_ + "/outside";
  put(outside, "precious\n");
  fs::create_directories(rec("foo"));
  fs::create_symlink(outside, rec("foo") + "version");
  Package p = sample();
  OutputCapture out;
  EXPECT_FALSE(write_record(p, messages_));
  EXPECT_EQ(out.text(), "ERROR: installation of foo-1.0 failed: could not create meta/version: "
                        "Too many levels of symbolic links\n");
  EXPECT_EQ(get(outside), "precious\n");
}

// A record directory (or a schedule's directory) that is a link into the rest of the
// system: loading may read through it, but nothing is written or deleted where it points.
TEST_F(Database, RecordDirectoriesThatAreLinksLeadNowhere) {
  std::string outside = scratch_ + "/outside/";
  put(outside + "version", "1 1\n");
  put(outside + "schedule", "uninstall\n");
  fs::create_directories(host("/flash/var/pdb"));
  fs::create_directories(host("/ram/pdb"));
  fs::create_symlink(outside, rec("foo").substr(0, rec("foo").size() - 1));
  fs::create_symlink(outside, host("/ram/pdb/foo"));
  std::unique_ptr<Package> loaded = load("foo");
  EXPECT_EQ(loaded->version, 1u);
  Package p = sample();
  OutputCapture out;
  EXPECT_FALSE(write_record(p, messages_));
  EXPECT_EQ(out.text(), "ERROR: installation of foo-1.0 failed: could not create meta/version: "
                        "Not a directory\n");
  mark_disabled(p);
  remove_record(p);
  EXPECT_FALSE(exists(rec("foo").substr(0, rec("foo").size() - 1)));
  EXPECT_EQ(listing(outside), "schedule version ");
  EXPECT_EQ(get(outside + "version"), "1 1\n");
}

std::string write_and_capture(const Package& p) {
  MessageChannel messages;
  OutputCapture out;
  bool ok = write_record(p, messages);
  return (ok ? "true " : "false ") + out.text();
}

TEST_F(Database, ReadOnlyRecordDirectory) {
  Package p = sample();
  ASSERT_TRUE(make_dirs(record_dir(p)));
  std::string dir = rec("foo");
  if (geteuid() != 0) {
    chmod(dir.c_str(), 0555);
    EXPECT_EQ(write_and_capture(p),
              "false ERROR: installation of foo-1.0 failed: could not create meta/version: "
              "Permission denied\n");
    return;
  }
  // Root writes into any directory; a read-only mount refuses it all the same.
  std::string result = in_mount_namespace(
      [&] {
        return mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                     nullptr) == 0;
      },
      [&] { return write_and_capture(p); });
  if (result == "SKIP") GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(result, "false ERROR: installation of foo-1.0 failed: could not create meta/version: "
                    "Read-only file system\n");
}

TEST_F(Database, FullDiskIsReportedAsTooSmall) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tiny tmpfs";
  Package p = sample();
  p.bundle = {"suite", 0, 0, 0};
  std::string flash = host("/flash");
  fs::create_directories(flash);
  std::string result = in_mount_namespace(
      [&] { return mount("tmpfs", flash.c_str(), "tmpfs", 0, "size=16k") == 0; },
      [&] {
        if (!make_dirs(record_dir(p))) return std::string("make_dirs failed");
        // Fill the file system up to the last block.
        int fd = open((flash + "/filler").c_str(), O_CREAT | O_WRONLY, 0600);
        char block[1024] = {};
        while (write(fd, block, sizeof block) > 0) {
        }
        close(fd);
        return write_and_capture(p);
      });
  if (result == "SKIP") GTEST_SKIP() << "no mount namespace or tmpfs here";
  EXPECT_EQ(result, "false ERROR: installation of suite failed: disk is too small\n");
}

}  // namespace
