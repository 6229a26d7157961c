// The installation child's read path alone, as one process: the part reader with the package
// digest over an archive, and the inflating stream over its file data, the decompressed bytes
// thrown away. The figure to hold beside zcat of the same file records.
//
//   kpk_read FILE           prints the decompressed size and the package digest
//   kpk_read --dump FILE    writes the decompressed file records to standard output instead
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "archive/inflate_reader.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "system/fd_stream.h"

int main(int argc, char** argv) {
  bool dump = argc == 3 && strcmp(argv[1], "--dump") == 0;
  if (argc != 2 && !dump) {
    fprintf(stderr, "usage: kpk_read [--dump] FILE\n");
    return 2;
  }
  FdInStream in(argv[argc - 1]);
  if (!in.is_open()) {
    perror(argv[argc - 1]);
    return 1;
  }
  PartReader reader(in, true);
  reader.want(PackageHeader);
  reader.want(FileData);
  reader.want(Signature);
  unsigned long long out_bytes = 0;
  uint8_t digest[20];
  bool have_digest = false;
  while (reader.next_part() >= 0) {
    if (reader.current_type() == Signature) {
      reader.finalize_package_digest();
      have_digest = reader.take_package_digest(digest);
      continue;
    }
    if (reader.current_type() != FileData) continue;
    InflateReader data(reader);
    static char chunk[16384];
    while (data.read(chunk, sizeof chunk) || data.gcount() > 0) {
      size_t n = size_t(data.gcount());
      out_bytes += n;
      if (dump && fwrite(chunk, 1, n, stdout) != n) return 1;
    }
  }
  if (!have_digest) have_digest = reader.take_package_digest(digest);
  if (!dump) {
    printf("%llu bytes of file records, package digest ", out_bytes);
    for (int i = 0; i < 20 && have_digest; ++i) printf("%02x", digest[i]);
    printf("%s\n", have_digest ? "" : "none");
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
