// Extraction and installation of a 60 MB package into a tmpfs root, beside tar -xzf and
// dpkg-deb -x of the same tree at the same compression, measured in the same run.
//
//   install_bench [KPK]     (KPK: path of the kpk tool; default build/bin/kpk beside this)
//
// The tree: 2,000 small files (1 to 24 KB) in 40 directories and four large ones (8 MB each).
// Figures are the best of three runs. "install" is one installation transaction in this
// process (part reader with SHA-1, inflate, files written, signature check, record and
// sync, no rules); "kpk install" is the whole installation child: database, rules, the
// transaction and the image copy.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/package_manager.h"
#include "system/fd_stream.h"
#include "system/root.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool run(const std::string& command) {
  if (system(command.c_str()) == 0) return true;
  fprintf(stderr, "bench: '%s' failed\n", command.c_str());
  return false;
}

std::string content(size_t n, uint32_t seed) {
  static const char* words[] = {"interface ", "route ", "0x7f3a ", "static ", "\n", "eth0 ",
                                "return ", "{ ", "} ", "packet ", "mtu 1500 ", "config "};
  std::string s;
  s.reserve(n + 16);
  uint32_t x = seed * 2654435761u + 7;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    if ((x >> 16) % 4 == 0) s += char(' ' + (x >> 8) % 90);
    else s += words[(x >> 16) % 12];
  }
  s.resize(n);
  return s;
}

template <typename F>
double best_of(int runs, F&& step) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    double t = step();
    if (t < 0) return -1;
    if (t < best) best = t;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string self = argv[0];
  std::string kpk = argc > 1 ? argv[1] : self.substr(0, self.rfind('/') + 1) + "kpk";
  std::string key = std::string(KEST_SOURCE_DIR) + "/trust/development.key";
  std::string work = "/dev/shm/kest-install-bench-" + std::to_string(getpid());
  std::string tree = work + "/tree/files";
  if (!run("mkdir -p " + tree)) return 1;

  size_t total = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string dir = tree + "/usr/lib/d" + std::to_string(i % 40);
    mkdir((tree + "/usr").c_str(), 0755);
    mkdir((tree + "/usr/lib").c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string data = content(1024 + size_t(i) * 7919 % (23 * 1024), uint32_t(i));
    total += data.size();
    std::ofstream(dir + "/f" + std::to_string(i), std::ios::binary) << data;
  }
  for (int i = 0; i < 4; ++i) {
    std::string data = content(8u << 20, uint32_t(10000 + i));
    total += data.size();
    std::ofstream(tree + "/usr/lib/big" + std::to_string(i), std::ios::binary) << data;
  }
  std::ofstream(work + "/tree/manifest") << "name: big\nversion: 1.0\nfiles: files\ncompression: 6\n";
  std::string archive = work + "/big.kpk", signed_archive = work + "/big-signed.kpk";
  if (!run(kpk + " build " + work + "/tree/manifest -o " + archive) ||
      !run(kpk + " sign " + archive + " -k " + key + " -o " + signed_archive) ||
      !run("tar -czf " + work + "/big.tar.gz -C " + tree + " .") ||
      !run("mkdir -p " + work + "/deb/DEBIAN && cp -a " + tree + "/. " + work + "/deb/ && "
           "printf 'Package: big\\nVersion: 1.0\\nArchitecture: all\\nMaintainer: bench <b@x>\\n"
           "Description: bench\\n' > " + work + "/deb/DEBIAN/control && "
           "dpkg-deb -Zgzip -z6 --build " + work + "/deb " + work + "/big.deb >/dev/null"))
    return 1;
  struct stat st;
  stat(signed_archive.c_str(), &st);
  double archive_mb = double(st.st_size) / 1e6;

  std::string target = work + "/target";
  auto fresh = [&] { return run("rm -rf " + target + " && mkdir -p " + target); };

  double transaction = best_of(3, [&]() -> double {
    if (!fresh() || !run("mkdir -p " + target + "/flash")) return -1;
    set_root_prefix(target);
    PackageManager pm;
    pm.set_quiet(true);
    double t0 = now();
    FdInStream in(signed_archive);
    PartReader r(in, true);
    r.want(PackageHeader);
    r.want(FileData);
    r.want(Signature);
    r.next_part();
    Package p;
    bool ok = read_package_info(p, r) && install_package(pm, p, r, Target::flash());
    double t = now() - t0;
    if (!ok) return -1;
    set_root_prefix("");
    return t;
  });
  double install = best_of(3, [&]() -> double {
    if (!fresh()) return -1;
    double t0 = now();
    if (!run(kpk + " install --root " + target + " --quiet " + signed_archive)) return -1;
    return now() - t0;
  });
  double tar = best_of(3, [&]() -> double {
    if (!fresh()) return -1;
    double t0 = now();
    if (!run("tar -xzf " + work + "/big.tar.gz -C " + target)) return -1;
    return now() - t0;
  });
  double deb = best_of(3, [&]() -> double {
    if (!fresh()) return -1;
    double t0 = now();
    if (!run("dpkg-deb -x " + work + "/big.deb " + target)) return -1;
    return now() - t0;
  });
  run("rm -rf " + work);

  double mb = double(total) / 1e6;
  printf("tree: %.1f MB in 2004 files; signed archive %.1f MB (zlib level 6)\n", mb, archive_mb);
  printf("%-40s %7.3f s  %7.1f MB/s\n", "install (reader, SHA-1, inflate, verify)", transaction,
         mb / transaction);
  printf("%-40s %7.3f s  %7.1f MB/s\n", "kpk install --root (whole child, sync)", install, mb / install);
  printf("%-40s %7.3f s  %7.1f MB/s\n", "tar -xzf (gzip -6)", tar, mb / tar);
  printf("%-40s %7.3f s  %7.1f MB/s\n", "dpkg-deb -x (gzip -6)", deb, mb / deb);
  return 0;
}
