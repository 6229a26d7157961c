// The remote installation: drivers from a driver server, then the install server found by
// broadcast, the disk prepared, and every package and configuration script the server hands
// out installed onto the target disk.
#pragma once

class Network;
class System;
struct TargetDisk;

// Runs the whole installation over network. True when the software was installed (the
// server has been told, or a key was pressed, at the end); false after a failure whose
// reason has been printed. The cards stay switched on; nothing is undone on failure.
bool install_from_network(System& system, Network& network, TargetDisk& disk);
