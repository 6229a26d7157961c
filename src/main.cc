#include "disk/drive_detection.h"
#include "flows/cdrom_install.h"
#include "flows/hard_disk_install.h"
#include "frontend/entry.h"
#include "frontend/flow_table.h"
#include "network/linux_network.h"
#include "network/network_flow.h"
#include "system/linux_system.h"

namespace {

// The flows of this build. Each subsystem's entry point is set here as it lands: drive
// detection (src/disk), the hard-disk and CD-ROM flows (src/flows) and the network flow
// (src/network). An empty slot ends that mode in "FATAL ERROR: internal error".
FlowTable linked_flows(Network& network) {
  FlowTable flows;
  flows.detect_target_disk = detect_target_disk;
  flows.cdrom = install_from_cdrom;
  flows.hard_disk = install_from_hard_disk;
  flows.net = [&network](System& system, TargetDisk& disk) {
    return install_from_network(system, network, disk);
  };
  return flows;
}

}  // namespace

int main(int argc, char** argv) {
  static LinuxSystem system;  // lives until the reboot, like every start-up object
  static LinuxNetwork network;
  static const FlowTable flows = linked_flows(network);
  return entry(system, argc, argv, flows);
}
