// A whole installation of arbitrary bytes as one archive, into a scratch root holding
// installed packages (see install_world.h for what is checked).
#include <cstdint>
#include <string>

#include "install_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InstallWorld& world = InstallWorld::get("install");
  world.run(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
