// kpk: builds, inspects, signs and installs package archives.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* usage;
};

const Command kCommands[] = {
    {"build", kpk::cmd_build, "build MANIFEST -o OUT.kpk       make a package archive"},
    {"bundle", kpk::cmd_bundle, "bundle MANIFEST -o OUT.kpk MEMBER.kpk...  make a bundle"},
    {"info", kpk::cmd_info, "info FILE                         print the package record"},
    {"files", kpk::cmd_files, "files FILE                        list the file records"},
    {"digest", kpk::cmd_digest, "digest FILE                       print each package's digest"},
    {"install", kpk::cmd_install, "install --root DIR [--quiet] FILE...  install into a tree"},
    {"installed", kpk::cmd_installed, "installed --root DIR              list the installed packages"},
    {"keygen", kpk::cmd_keygen, "keygen PRIVATE.key PUBLIC.hex     make a signing key pair"},
    {"sign", kpk::cmd_sign, "sign FILE -k KEY [-o OUT]         sign every package of an archive"},
    {"verify", kpk::cmd_verify, "verify FILE [-k PUBLIC.hex]       check each package as the installer does"},
};

int usage(FILE* out) {
  fprintf(out, "usage: kpk COMMAND [ARGS]\ncommands:\n");
  for (const Command& c : kCommands) fprintf(out, "  kpk %s\n", c.usage);
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr);
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) return usage(stdout);
  for (const Command& c : kCommands)
    if (strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  fprintf(stderr, "kpk: unknown command '%s'\n", argv[1]);
  return usage(stderr);
}
