// Reads a large package archive the way the installer does (part reader with SHA-1, then the
// inflating stream over the file data) and reports MB/s beside zcat and sha1sum of the same
// data, measured in the same run.
//
//   archive_read_bench [MEGABYTES]     (default 64 MB of file data)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "archive/inflate_reader.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "archive_writer.h"
#include "integrity/sha1.h"
#include "system/fd_stream.h"

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Text-like content that compresses about 3:1, like binaries and configuration files do.
std::string content(size_t n, uint32_t seed) {
  static const char* words[] = {"router ", "packet ", "0x1f3a ", "interface ", "eth0 ",
                                "static ", "\n", "config ", "{ ", "} ", "return ", "ppp "};
  std::string s;
  s.reserve(n + 16);
  uint32_t x = seed * 2654435761u + 1;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    if ((x >> 16) % 5 == 0) s += char('a' + (x >> 8) % 26);
    else s += words[(x >> 16) % 12];
  }
  s.resize(n);
  return s;
}

double best_of(int runs, const std::string& command) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    double t0 = now();
    if (system(command.c_str()) != 0) {
      fprintf(stderr, "bench: '%s' failed\n", command.c_str());
      return -1;
    }
    best = std::min(best, now() - t0);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? size_t(atoi(argv[1])) : 64;
  std::string dir = "/tmp/kest-bench-" + std::to_string(getpid());
  std::string mk = "mkdir -p " + dir;
  if (system(mk.c_str()) != 0) return 1;

  kpk::PackageSpec spec;
  spec.name = "big";
  spec.version = 0x01006600;
  spec.has_files = true;
  spec.compression_level = 6;
  size_t total = 0;
  std::string records;
  for (uint32_t i = 0; total < megabytes << 20; ++i) {
    kpk::FileEntry f;
    f.name = "usr/lib/file" + std::to_string(i);
    f.mode = 0100644;
    f.content = content(i % 50 == 0 ? (4u << 20) : 2000 + i * 37 % 30000, i);
    total += f.content.size();
    records += kpk::file_record(f);
    spec.files.push_back(std::move(f));
  }
  std::string archive = kpk::package_archive(spec, false);
  std::string archive_path = dir + "/big.kpk", raw_path = dir + "/records", gz_path = dir + "/records.gz";
  std::ofstream(archive_path, std::ios::binary) << archive;
  std::ofstream(raw_path, std::ios::binary) << records;
  std::string gz = "gzip -6 -c " + raw_path + " > " + gz_path;
  if (system(gz.c_str()) != 0) return 1;

  double best = 1e9;
  uint64_t out_bytes = 0;
  for (int run = 0; run < 5; ++run) {
    double t0 = now();
    FdInStream in(archive_path);
    PartReader reader(in, true);
    reader.want(PackageHeader);
    reader.want(FileData);
    out_bytes = 0;
    while (reader.next_part() >= 0) {
      if (reader.current_type() != FileData) continue;
      InflateReader data(reader);
      char chunk[16384];
      while (data.read(chunk, sizeof chunk) || data.gcount() > 0) out_bytes += uint64_t(data.gcount());
    }
    uint8_t digest[20];
    if (!reader.take_package_digest(digest) || out_bytes != records.size()) {
      fprintf(stderr, "bench: the archive did not read back whole\n");
      return 1;
    }
    best = std::min(best, now() - t0);
  }
  double sha1_only = 1e9;
  for (int run = 0; run < 5; ++run) {
    double t0 = now();
    Sha1 h;
    h.update(archive.data(), archive.size());
    uint8_t digest[20];
    h.finish(digest);
    sha1_only = std::min(sha1_only, now() - t0);
  }
  double zcat = best_of(5, "zcat " + gz_path + " > /dev/null");
  double sha1sum = best_of(5, "sha1sum " + archive_path + " > /dev/null");

  double mb_in = double(archive.size()) / 1e6, mb_out = double(records.size()) / 1e6;
  std::ifstream gz_file(gz_path, std::ios::binary | std::ios::ate);
  double mb_gz = double(gz_file.tellg()) / 1e6;
  printf("archive: %.1f MB compressed, %.1f MB of file records (%zu files)\n", mb_in, mb_out,
         spec.files.size());
  printf("%-34s %8.1f MB/s of archive  %8.1f MB/s decompressed  (%.3f s)\n",
         "part reader + SHA-1 + inflate", mb_in / best, mb_out / best, best);
  if (zcat > 0)
    printf("%-34s %8.1f MB/s of gzip     %8.1f MB/s decompressed  (%.3f s)\n",
           "zcat (same records, gzip -6)", mb_gz / zcat, mb_out / zcat, zcat);
  printf("%-34s %8.1f MB/s of archive                              (%.3f s)\n",
         "our SHA-1 alone (in memory)", mb_in / sha1_only, sha1_only);
  if (sha1sum > 0)
    printf("%-34s %8.1f MB/s of archive                              (%.3f s)\n",
           "sha1sum (same archive)", mb_in / sha1sum, sha1sum);
  std::string rm = "rm -rf " + dir;
  return system(rm.c_str()) == 0 ? 0 : 1;
}
