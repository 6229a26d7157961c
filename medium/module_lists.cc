// Prints the kernel modules the installer loads, one per line as "LIST PATH", from the very
// tables the installer is built with: the medium builder places the kernel's modules at these
// paths, so that the installer finds them where its lists say.
#include <cstdio>

#include "frontend/kernel_modules.h"

namespace {
void print_list(const char* label, const char* const* list) {
  for (; *list; ++list) std::printf("%s %s\n", label, *list);
}
}  // namespace

int main() {
  std::printf("startup %s\n", startup_module);
  print_list("storage", storage_module_list);
  print_list("usb", usb_module_list);
  return 0;
}
