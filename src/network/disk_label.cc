#include "network/disk_label.h"

#include <cctype>
#include <cstdio>

#include "system/root.h"
#include "system/system.h"

std::string read_disk_label(System& system) {
  std::string label;
  std::string floppy = root_path("/floppy");
  if (system.mount(root_path("/dev/fd0").c_str(), floppy.c_str(), "vfat", 0, nullptr) == 0) {
    if (FILE* file = fopen(root_path("/floppy/label.txt").c_str(), "r")) {
      char line[64] = {};
      if (fgets(line, sizeof line, file)) {
        for (const char* c = line; *c; ++c)
          if (isalnum(static_cast<unsigned char>(*c)) || ispunct(static_cast<unsigned char>(*c)))
            label.push_back(*c);
      }
      fclose(file);
    }
    system.umount(floppy.c_str());
  }
  return label.empty() ? "Quovalen" : label;
}
