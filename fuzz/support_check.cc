// Checks the fuzz harness's own tools before any target runs on them: a fingerprint must see
// every change, also one that keeps a file's inode and size and comes within the same clock
// tick as the fingerprints around it (which only a kernel that stamps change times from the
// coarse clock can expose), and restore_tree must bring back any tree the fingerprints
// describe. A harness that missed a change would let every target pass. Exits non-zero after
// reporting each failure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (ok) return;
  fprintf(stderr, "fuzz support check: %s\n", what.c_str());
  ++failures;
}

void build_model(const std::string& m) {
  put_file(m + "/etc/a.conf", "alpha\n");
  put_file(m + "/etc/b.conf", "bravo\n");
  put_file(m + "/usr/lib/libx.so", std::string(5000, 'x'));
  put_file(m + "/var/pdb/x/files", "/usr/lib/libx.so\n");
  symlink("usr/lib", (m + "/lib").c_str());
  mkdir((m + "/empty").c_str(), 0750);
  chmod((m + "/etc/b.conf").c_str(), 0600);
}

}  // namespace

int main() {
  const std::string scratch = scratch_dir("support");
  const std::string model = scratch + "/model", tree = scratch + "/tree";
  mkdir(model.c_str(), 0755);
  mkdir(tree.c_str(), 0755);
  build_model(model);
  const Fingerprint model_print = fingerprint(model);
  copy_tree(model, tree);
  expect(fingerprint(tree) == model_print, "a copy differs from its model");

  // The same size, the same inode, straight after a fingerprint: still a change.
  for (int round = 0; round < 200; ++round) {
    Fingerprint before = fingerprint(tree);
    int fd = open((tree + "/etc/a.conf").c_str(), O_WRONLY);
    const char* text = round % 2 ? "alpha\n" : "ALPHA\n";
    expect(fd >= 0 && write(fd, text, 6) == 6, "cannot rewrite a file");
    if (fd >= 0) close(fd);
    Fingerprint after = fingerprint(tree);
    expect(fingerprint_diff(before, after).find("etc/a.conf") != std::string::npos,
           "a rewrite of the same size was missed in round " + std::to_string(round));
  }

  // Every kind of difference, restored from the fingerprints alone.
  empty_dir(tree);
  copy_tree(model, tree);
  put_file(tree + "/etc/new", "planted\n");                       // new file
  put_file(tree + "/var/pdb/y/files", "/y\n");                    // new directory with a file
  unlink((tree + "/etc/b.conf").c_str());                         // gone
  put_file(tree + "/usr/lib/libx.so", "short\n");                 // changed content
  chmod((tree + "/empty").c_str(), 04777);                        // changed directory mode
  unlink((tree + "/lib").c_str());                                // a link became a directory
  put_file(tree + "/lib/inside", "below\n");
  remove_tree(tree + "/var/pdb/x");                               // a directory became a link
  symlink("/", (tree + "/var/pdb/x").c_str());
  restore_tree(model, model_print, tree, fingerprint(tree));
  std::string left = fingerprint_diff(model_print, fingerprint(tree));
  expect(left.empty(), "restore_tree left differences:\n" + left);

  if (failures == 0) printf("fuzz support check: fine\n");
  return failures == 0 ? 0 : 1;
}
