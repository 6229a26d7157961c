#!/usr/bin/env python3
"""The installer as it really runs: as init of the 32-bit RAM system on an emulated PC
(qemu-system-i386, software emulation), booted from the media that medium/build makes, its
serial console driven by a script. Needs qemu and the built media (medium/build); skips
otherwise.

Environment: KEST_MEDIA (default build-medium/media), KEST_VM_LOGS (where the console logs
go; default build-medium/vm-logs)."""
import os
import re
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "medium"))
import vm  # noqa: E402

MEDIA = os.environ.get("KEST_MEDIA", os.path.join(TOP, "build-medium", "media"))
LOGS = os.environ.get("KEST_VM_LOGS", os.path.join(TOP, "build-medium", "vm-logs"))
# The storage drivers of the emulated PC (PIIX IDE through libata, SCSI disk and CD-ROM),
# all of them in the installer's storage list.
STORAGE = ["libata", "ata_piix", "scsi_mod", "sd_mod", "sr_mod", "cdrom"]


def media(name):
    return os.path.join(MEDIA, name)


def blank_disk(directory, mib):
    path = os.path.join(directory, "disk.img")
    with open(path, "wb") as f:
        f.truncate(mib << 20)
    return path


class VmTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = vm.qemu_missing()
        if why:
            raise unittest.SkipTest(why)
        if not os.path.exists(media("cdrom.iso")):
            raise unittest.SkipTest("no media in %s: run medium/build" % MEDIA)
        os.makedirs(LOGS, exist_ok=True)

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="kest-vm-")
        self.addCleanup(self.scratch.cleanup)

    def machine(self, name, **kw):
        return vm.Machine(os.path.join(LOGS, name + ".log"), **kw)


class CdromBoot(VmTest):
    def test_storage_drivers_come_from_the_installers_lists(self):
        """The CD boots, the pre-init loads only what the lists lack, and the installer's
        own loader brings up the PC's disk and CD-ROM."""
        disk = blank_disk(self.scratch.name, 64)
        with self.machine("cdrom-drivers", cdrom=media("cdrom.iso"), disks=[disk],
                          boot="d") as m:
            m.expect(r"Linux version", 60)
            preinit = m.expect(r"pre-init: loaded([^\n]*)\n", 60).group(1).split()
            loaded_early = {vm_module(n) for n in preinit}
            self.assertIn("ext4", loaded_early)
            self.assertFalse(loaded_early & set(STORAGE), preinit)
            m.expect(r"\nLoading drivers\n", 30)
            m.expect(r"scsi host\d+: ata_piix", 30)
            m.expect(r"sd 0:0:0:0: \[sda\] 131072 512-byte logical blocks", 30)
            m.expect(r"sr 1:0:0:0: \[sr0\] scsi3-mmc drive", 30)
            m.expect(r"Press ENTER to reboot", 120)
            m.send("\r")
            m.expect(r"Rebooting\.\.\.", 30)
            self.assertEqual(m.wait_exit(60), 0)


def vm_module(file_name):
    return re.sub(r"\.ko$", "", file_name).replace("-", "_")


if __name__ == "__main__":
    unittest.main()
