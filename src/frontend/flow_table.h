// The installation flows the entry routine dispatches to, and the drive detection that the
// CD-ROM mode runs before its flow. Each takes the System and the run's TargetDisk and returns
// true on success; on false it has already printed its reason.
//
// main.cc fills the table with the flows linked into the installer, so that the front end
// never depends on the subsystems above it. An empty slot is a flow that is not part of this
// build: the entry routine then prints "FATAL ERROR: internal error" (for the detection: treats
// it as "no drive found" after that message) and goes on to the end of the run.
#pragma once

#include <functional>

class System;
struct TargetDisk;

using FlowFunction = std::function<bool(System&, TargetDisk&)>;

struct FlowTable {
  FlowFunction hard_disk;           // "-hdd-install"
  FlowFunction cdrom;               // /TYPE "cdrom", after a drive was found
  FlowFunction net;                 // /TYPE "net"
  FlowFunction detect_target_disk;  // /TYPE "cdrom", before the CD-ROM flow
};
