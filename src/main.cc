#include "frontend/entry.h"
#include "frontend/flow_table.h"
#include "system/linux_system.h"

int main(int argc, char** argv) {
  static LinuxSystem system;  // lives until the reboot, like every start-up object
  return entry(system, argc, argv, installed_flows());
}
