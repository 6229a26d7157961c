// A real disk for tests of the disk steps and of whole installations: a sparse image on a loop
// device that the test attaches itself, seen by the installer as /dev/sda of the scratch root.
//
// The installer sees devices only through the scratch root: its /dev holds links to this
// test's loop device (and /dev/null) and nothing else, and its /sbin/sfdisk and /sbin/mke2fs
// are wrappers around the medium's sfdisk and the real mke2fs that map every /dev/...
// argument into the scratch root and refuse any other. They log their runs (and the partition
// script) to <scratch>/log.
#pragma once

#include <cstdint>
#include <string>

#include "testing/scratch_root.h"

class LoopDiskRoot : public ScratchRoot {
 protected:
  // Skips the test without root, without the tools (losetup, util-linux sfdisk, mke2fs,
  // e2fsck, dumpe2fs, debugfs) or without the medium's sfdisk.
  void SetUp() override;
  // Detaches the loop device, then removes the scratch tree.
  void TearDown() override;

  // A sparse image of cylinders x heads x sectors sectors on a new loop device, as /dev/sda
  // (partitions /dev/sda1, /dev/sda2) of the root, with the tool wrappers. heads 0: the
  // geometry the kernel gives a loop device (255 heads, 63 sectors), plus one MiB. False when
  // the image or the loop device cannot be had.
  bool attach(uint32_t heads, uint32_t sectors, uint32_t cylinders);
  // The host path of the loop device's partition n ("/dev/loopNpN").
  std::string partition(unsigned n) const { return loop_ + "p" + std::to_string(n); }
  std::string image() const { return scratch_ + "/disk.img"; }

  struct Command {
    int status;
    std::string output;
  };
  // Runs a shell command line built from paths the test chose; standard error is dropped.
  static Command run(const std::string& command);
  // The path of a host tool in the system directories, or "".
  static std::string tool(const char* name);

  std::string sfdisk_;  // the medium's sfdisk, as built
  std::string loop_;    // the loop device, "/dev/loopN"

 private:
  void wrapper(const std::string& path, std::string body);
};
