// Prints the SHA-1 of each file in sha1sum's format ("<40 hex digits>  <name>"), reading in
// 64 KB blocks: the figure to hold beside sha1sum of the same file, process against process.
//
//   sha1_file [--portable] FILE...
//     --portable  use the portable compression even where the CPU has SHA instructions
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "integrity/sha1.h"

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "--portable") == 0) {
    sha1_force_portable(true);
    first = 2;
  }
  if (first >= argc) {
    fprintf(stderr, "usage: sha1_file [--portable] FILE...\n");
    return 2;
  }
  static char block[65536];
  int status = 0;
  for (int i = first; i < argc; ++i) {
    int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      fprintf(stderr, "sha1_file: %s: %s\n", argv[i], strerror(errno));
      status = 1;
      continue;
    }
    Sha1 h;
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0) h.update(block, size_t(n));
    close(fd);
    if (n < 0) {
      fprintf(stderr, "sha1_file: %s: %s\n", argv[i], strerror(errno));
      status = 1;
      continue;
    }
    uint8_t digest[Sha1::kDigestSize];
    h.finish(digest);
    for (uint8_t b : digest) printf("%02x", b);
    printf("  %s\n", argv[i]);
  }
  return status;
}
