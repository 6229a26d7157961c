// Writes the seed corpora of the fuzz targets: archives of every shape the installer meets
// (the smallest package, every file type, scripts and metadata, plain and signed, unsigned,
// bundles with and without members, an upgrade of an installed package, hostile names,
// truncated and lying archives), database trees, protocol sessions and partitioning scripts,
// each in its target's input encoding. Usage: fuzz_seeds DIR (writes DIR/<target>/...).
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/part_type.h"
#include "archive_writer.h"
#include "fuzz_support.h"
#include "network/net_message.h"
#include "testing/signing.h"

namespace {

using kpk::FileEntry;

std::string out_dir;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
  if (!put_file(out_dir + "/" + target + "/" + name, bytes)) {
    perror(name.c_str());
    exit(1);
  }
}

FileEntry file(const std::string& name, uint16_t mode, const std::string& content = "") {
  FileEntry f;
  f.name = name;
  f.mode = mode;
  f.mtime = 1700000000;
  f.content = content;
  return f;
}

std::string device(uint32_t major, uint32_t minor) {
  std::string n;
  kpk::put_le32(n, kpk::encode_device(major, minor));
  return n;
}

kpk::PackageSpec package(const std::string& name, uint32_t version, std::vector<FileEntry> files) {
  kpk::PackageSpec s;
  s.name = name;
  s.version = version;
  s.build = 1700000000;
  s.has_files = !files.empty();
  s.files = std::move(files);
  return s;
}

std::string u16(uint16_t v) {
  std::string s;
  kpk::put_le16(s, v);
  return s;
}
std::string u32(uint32_t v) {
  std::string s;
  kpk::put_le32(s, v);
  return s;
}
std::string piece(const std::string& s) { return std::string(1, char(s.size())) + s; }
std::string piece16(const std::string& s) { return u16(uint16_t(s.size())) + s; }

void archives() {
  std::vector<std::pair<std::string, std::string>> list;
  // The smallest package: header only.
  list.emplace_back("minimal", std::string("\x1e\xf1\xd0\xba\x26\x00\x00\x00\x01\x00\x20\x00\x00\x00"
                                           "abc", 17) + std::string(13, '\0') +
                                   std::string("\x00\x66\x00\x03", 4) + std::string(12, '\0'));
  kpk::PackageSpec full = package(
      "full", 0x02006600,
      {file("etc", 040755), file("etc/full.conf", 0100644, "key=value\n"),
       file("bin/full", 0104755, "#!/bin/sh\n"), file("lib", 0120777, "usr/lib"),
       file("usr/lib/libfull.so", 0100644, std::string(5000, 'x')),
       file("dev/ttyF", 0020620, device(4, 64)), file("dev/hdF", 0060660, device(3, 0)),
       file("var/run/full.fifo", 0010600), file("/abs/path", 0100600, "absolute\n")});
  full.has_architecture = true;
  full.architecture = "i386";
  full.has_description = true;
  full.description = "every file type";
  full.depends = {{"base", 0x01006600, 0, 0}};
  full.provides = {{"service", 0, 0, 3}};
  full.conflicts = {{"other", 0, 0x01006600, 0}};
  full.has_install_script = true;
  full.install_script = "echo installed\n";
  full.has_uninstall_script = true;
  full.uninstall_script = "echo removed\n";
  list.emplace_back("full_signed", signed_archive(full));
  list.emplace_back("full_plain", signed_archive(full, true));
  list.emplace_back("full_unsigned", kpk::package_archive(full, false));
  kpk::PackageSpec image = package("imaged", 0x01006600, {file("opt/imaged", 0100644, "i\n")});
  image.has_image = true;
  image.image = std::string(300, 'I');
  list.emplace_back("image", signed_archive(image));
  list.emplace_back("upgrade_base",
                    signed_archive(package("base", 0x01016600,
                                           {file("etc/base.conf", 0100644, "base 1.1\n")})));
  list.emplace_back("same_base",
                    signed_archive(package("base", 0x01006600,
                                           {file("etc/base.conf", 0100644, "base 1.0\n")})));
  list.emplace_back("downgrade_base",
                    signed_archive(package("base", 0x00016600, {file("etc/old", 0100644, "o\n")})));
  list.emplace_back(
      "hostile_names",
      kpk::package_archive(package("hostile", 0x01006600,
                                   {file("../escape", 0100644, "x"), file("var/escape/x", 0100644, "y"),
                                    file("abs/x", 0100644, "z"), file("etc/ghost", 0100644, "g"),
                                    file("bin/base", 0100755, "takeover"),
                                    file("link", 0120777, "/../../outside"),
                                    file("link/keep", 0100644, "through the link")}),
                           false));
  list.emplace_back("stored_uncompressed", [] {
    kpk::PackageSpec s = package("stored", 0x01006600, {file("opt/s", 0100644, "stored\n")});
    s.compression_level = 0;
    return signed_archive(s);
  }());

  // Bundles: signed members, a contents list, one member already installed.
  std::vector<std::string> members;
  members.push_back(signed_parts(kpk::package_parts(
      package("alpha", 0x01006600, {file("opt/alpha/a", 0100644, "alpha\n")}))));
  kpk::PackageSpec beta = package("beta", 0x01006600, {file("opt/beta/b", 0100644, "beta\n")});
  beta.depends = {{"alpha", 0, 0, 0}};
  members.push_back(signed_parts(kpk::package_parts(beta)));
  kpk::BundleSpec b;
  b.name = "vpn";
  b.version = 0x01006600;
  b.has_description = true;
  b.description = "a bundle";
  b.has_contents = true;
  b.contents = {{"alpha", 0, 0, 0}, {"beta", 0, 0, 0}};
  list.emplace_back("bundle_signed", kpk::bundle_archive(b, members, false));
  list.emplace_back("bundle_no_members", kpk::bundle_archive(b, {}, false));
  kpk::BundleSpec suite;
  suite.name = "suite";
  suite.version = 0x01016600;
  list.emplace_back("bundle_upgrade",
                    kpk::bundle_archive(suite,
                                        {signed_parts(kpk::package_parts(package(
                                             "part", 0x01016600, {file("opt/part", 0100644, "p2\n")})))},
                                        false));
  list.emplace_back("bundle_unsigned_member",
                    kpk::bundle_archive(b, {kpk::package_parts(package("alpha", 0x01006600,
                                                                       {file("opt/a", 0100644, "a")}))},
                                        false));
  list.emplace_back("bundle_adopts_base",
                    kpk::bundle_archive(b, {signed_parts(kpk::package_parts(package(
                                               "base", 0x01006600,
                                               {file("etc/base.conf", 0100644, "base 1.0\n")})))},
                                        false));

  // Damaged copies of the signed package: truncated, a lying header length, a flipped byte.
  std::string good = list[1].second;
  list.emplace_back("truncated", good.substr(0, good.size() / 2));
  std::string lying = good;
  lying[4] ^= 0x10;
  list.emplace_back("header_length_lies", lying);
  std::string huge_part = kpk::file_header(kRegularMagic, 0) + kpk::part(PackageHeader,
      kpk::header_record("huge", 0x01006600, 1)) + kpk::part_header(FileData, 0xFFFFFFF0) + "x";
  list.emplace_back("declared_4gib", huge_part);

  for (const auto& [name, bytes] : list) {
    seed("install", name, bytes);
    seed("package_file", name, bytes);
    seed("part_reader", name, std::string("\x1f\x00\x03\x01\x0a\x13", 6) + bytes);
    seed("part_reader", name + "_plain_walk", std::string("\x04\x00\x00", 3) + bytes);
  }

  // The inflating stream: the file data of the full package, and of a stored one.
  std::string records;
  for (const FileEntry& f : full.files) records += kpk::file_record(f);
  seed("inflate", "records", "\x01" + kpk::zlib_compress(records));
  seed("inflate", "records_seek", "\x07" + kpk::zlib_compress(records, 1));
  seed("inflate", "stored", std::string(1, '\x02') + kpk::zlib_compress(records, 0));
  seed("inflate", "empty", std::string(1, '\x00') + kpk::zlib_compress(""));
}

void bundles() {
  // flags, name pick, version pick, build pick, contents list, member count, members.
  auto refs = [](std::initializer_list<std::pair<uint8_t, uint8_t>> names) {
    std::string s(1, char(names.size()));
    for (auto [name, version] : names) s += std::string{char(name), char(version), 0, 0};
    return s;
  };
  std::string head = std::string{0x10, 6, 0, 1} + refs({{2, 0}, {3, 0}});
  // Members: op % 5 is the kind, op / 5 the world's member (0 base 1.0, 1 base 1.1, 2 alpha,
  // 3 beta).
  seed("bundle", "two_genuine", head + std::string{2, 10, 15});
  seed("bundle", "patched_member", head + std::string{1, 11} + u16(10) + std::string(1, '\x55'));
  seed("bundle", "raw_member_header",
       head + std::string{2, 10, 2, 2, 0, 32, 1} + u32(0xFFFFFFFF) + u16(4) + "abcd");
  seed("bundle", "short_member_header", head + std::string{1, 2, 2, 0, 7, 0} + u16(0));
  seed("bundle", "lying_part", head + std::string{2, 10, 4, 4} + u32(100000));
  seed("bundle", "adopt_installed", std::string{0, 0, 1, 1, 1, 0});
  seed("bundle", "upgrade_member", std::string{0, 0, 1, 1, 2, 1, 10});
  seed("bundle", "no_members", std::string{0x10, 6, 0, 1, 0, 0});
}

void databases() {
  // Entries: kind (type + 5 * root: 0 /flash/var/pdb, 1 /ram/pdb, 2 /flash), path, content.
  auto f = [](int root, const std::string& path, const std::string& content) {
    return std::string(1, char(root * 5)) + piece(path) + piece16(content);
  };
  auto d = [](int root, const std::string& path) { return std::string(1, char(root * 5 + 1)) + piece(path); };
  auto l = [](int root, const std::string& path, const std::string& target) {
    return std::string(1, char(root * 5 + 2)) + piece(path) + piece16(target);
  };
  auto fifo = [](int root, const std::string& path) { return std::string(1, char(root * 5 + 3)) + piece(path); };
  std::string record = f(0, "pkg/version", "16803328 1700000000\n") + f(0, "pkg/deps", "tool 0 0\n") +
                       f(0, "pkg/provides", "svc 0 0 -1\n") + f(0, "pkg/files", "etc/pkg.conf\n/bin/pkg\n") +
                       f(2, "etc/pkg.conf", "conf\n") + f(2, "bin/pkg", "bin\n");
  seed("database", "record", std::string(1, '\x02') + record);
  seed("database", "record_install", std::string(1, '\x0a') + record);
  seed("database", "broken_deps",
       std::string(1, '\x04') + f(0, "bad/version", "1 2\n") + f(0, "bad/deps", "x 1\n") +
           f(0, "bad/files", "etc/installed\n../../keep/file\n./keep/file\n"));
  seed("database", "no_version", std::string(1, '\x04') + f(0, "gone/files", "etc/installed\n"));
  seed("database", "schedules",
       std::string(1, '\x04') + record + f(1, "pkg/schedule", "uninstall\n") +
           f(0, "tool/version", "1 1\n") + f(0, "tool/disabled", "auto\n") +
           f(1, "tool/schedule", "enable\n"));
  seed("database", "odd_entries",
       std::string(1, '\x02') + fifo(0, "fifo") + f(0, "plain", "not a directory") +
           d(0, "empty") + fifo(0, "pkg/version") + l(0, "pkg/deps", "/dev/zero") +
           d(0, "pkg/files") + f(0, ".hidden/version", "1 1\n"));
  seed("database", "bundle_record",
       std::string(1, '\x04') + f(0, "vpn/version", "16803328 1\n") + f(0, "vpn/deps", "") +
           f(0, "alpha/version", "16803328 1\n") + f(0, "alpha/bundle", "vpn\n") +
           f(0, "alpha/files", "opt/a\n") + f(2, "opt/a", "a\n"));
  seed("database", "links_out",
       std::string(1, '\x04') + f(0, "ok/version", "1 1\n") + f(0, "ok/files", "") +
           l(0, "evil", "../../../../outside") +
           l(1, "pkg", "../../../outside") + record + l(2, "etc/pkg.conf", "../../keep/file"));
}

void network() {
  // Each answer: count, then per datagram op (bit 1: on the card it was sent on; bits 2-4: 0
  // a well-formed answer), delay in milliseconds, payload.
  auto answer = [](const std::string& payload) {
    return std::string{1, 2, 1} + piece16(payload);
  };
  std::string nothing(1, '\0');
  std::string session = nothing /*DSCV eth0*/ + answer("OFFR\nwelcome\n\n") + answer("OK") +
                        answer("FILE\nsetup.scr\n6\n") + answer("hello\n") + answer("") +
                        answer("FILE\npkg.kpk\n10\n") + std::string(1, '\x10') +
                        answer("0123456789") + std::string(1, '\x10') + answer("") +
                        answer("NONE\n") + answer("OK") + answer("TERM");
  seed("network", "session", session);
  std::string keep = nothing + answer("OFFR\nwelcome\nkeep\n") + answer("OK") +
                     answer("FILE\n../../keep/x.scr\n3\n") + answer("abc") + answer("") +
                     answer("FILE\nout/x.scr\n3\n") + answer("abc") + answer("") +
                     answer("FILE\n" + std::string(300, 'n') + "\n3\n");
  seed("network", "hostile_names", keep);
  std::string sizes = nothing + answer("OFFR\nx\n\n") + answer("OK") + answer("FILE\nbig\n-1\n") +
                      answer("FILE\nbig\n99999999999999999999\n") + std::string(1, '\xff') +
                      answer(std::string(4076, 'd')) + answer("");
  seed("network", "sizes", sizes);
  // Duplicated, reordered and stray datagrams around an offer.
  std::string noisy = std::string(1, '\0') + std::string{3, 2, 5} + piece16("OFFR\nlate\n\n") +
                      std::string{char(6 << 2), 0} + piece16(std::string(30, 'r')) +
                      std::string{char(4 << 2 | 2), 0} + piece16("OFFR\nnobody\n\n") + answer("OK");
  seed("network", "noisy", noisy);
}

void server() {
  // Options (keep, block size), then steps: 4 * r a step of router r, 3 time passing, 7 a flood.
  std::string one = std::string{0, 20} + std::string(40, '\0') + std::string{0x13, 0x10, 0x27};
  seed("server", "one_router", one);
  std::string two;
  for (int i = 0; i < 40; ++i) two += std::string{0, 4};
  seed("server", "two_routers", std::string{1, 0} + two);
  std::string flood = std::string{0, 100} + std::string(3, '\0') + std::string{7, 50, 0, 0} +
                      std::string(10, '\0') + std::string{0xF, 50, 1, 0} + std::string(30, '\0');
  seed("server", "flood", flood);
  std::string hostile = std::string{0, 0} + std::string(3, '\0') +
                        std::string{1, 0, 2, 2, 4, 'D', 'R', 'V', 'R'} + std::string{2, 3, 0, 1} +
                        std::string{5, 0, 2, 4} + std::string(10, '\0');
  seed("server", "hostile", hostile);
}

void sfdisk() {
  auto geometry = [](uint8_t heads, uint8_t sectors, uint8_t flags, uint32_t total) {
    return std::string{char(heads - 1), char(sectors - 1), char(flags)} + u32(total);
  };
  seed("sfdisk_script", "installer_one", geometry(255, 63, 0, 4194304) + "0,261,83,*\n");
  seed("sfdisk_script", "installer_two",
       geometry(255, 63, 0, 41943040) + "0,3,83,*\n3,2607,83,-\n0,0,0\n0,0,0\n");
  seed("sfdisk_script", "sectors",
       geometry(16, 32, 2, 1 << 20) + "# comment\n2048 4096 c *\n 8192,,\n6144,2048,82\n");
  seed("sfdisk_script", "huge", geometry(255, 63, 1, 0xFFFFFFFF) + "0,267349,83\n267349,1,5\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  out_dir = argv[1];
  archives();
  bundles();
  databases();
  network();
  server();
  sfdisk();
  return 0;
}
