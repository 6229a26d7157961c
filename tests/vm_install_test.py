#!/usr/bin/env python3
"""The installer as it really runs: as init of the 32-bit RAM system on an emulated PC
(qemu-system-i386, software emulation, -no-reboot), booted from the media that medium/build
makes, its serial console driven by a script. One scripted console exchange per install
mode; every installed disk then goes through the shared checker (tests/lib/installed_disk.py)
and a second run of the PC, in which the disk's new first sector must start the active
partition. Each mode reports its time from kernel start to "Software installed.".

Needs qemu and the built media (medium/build), and for the remote mode root, network
namespaces and a tap device; skips otherwise.
Environment: KEST_MEDIA (default build-medium/media), KEST_PACKAGES (build-medium/packages),
KEST_INSTALL_SERVER (build/bin/install-server), KEST_VM_LOGS (build-medium/vm-logs)."""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "medium"))
sys.path.insert(0, os.path.join(HERE, "lib"))
import installed_disk as disk  # noqa: E402
import vm  # noqa: E402

BUILD = os.path.join(TOP, "build-medium")
MEDIA = os.environ.get("KEST_MEDIA", os.path.join(BUILD, "media"))
PACKAGES = os.environ.get("KEST_PACKAGES", os.path.join(BUILD, "packages"))
LOGS = os.environ.get("KEST_VM_LOGS", os.path.join(BUILD, "vm-logs"))
SERVER = os.environ.get("KEST_INSTALL_SERVER", os.path.join(TOP, "build", "bin", "install-server"))
CMDLINE = "console=ttyS0,115200 panic=1"
# The first sector's boot code as the medium's build assembled it into the installer.
BOOT_CODE = os.path.join(BUILD, "generated", "boot", "boot_code.bin")
# The storage drivers of the emulated PC (PIIX IDE through libata, SCSI disk and CD-ROM),
# all of them in the installer's storage list.
STORAGE = {"libata", "ata_piix", "scsi_mod", "sd_mod", "sr_mod", "cdrom"}


def media(name):
    return os.path.join(MEDIA, name)


def archives(*names):
    return [os.path.join(PACKAGES, n + ".kpk") for n in names]


ALL = ("system", "dhcp", "ppp", "filters", "shaper", "vpn")


def sparse_disk(path, sectors, first_sector=None):
    with open(path, "wb") as f:
        f.truncate(sectors * disk.SECTOR)
        if first_sector:
            f.write(first_sector)
    return path


def report_time(mode, m):
    start, done = m.time_of("Linux version"), m.time_of("Software installed.")
    seconds = done - start
    sys.stderr.write("\n%s: %.1f s from kernel start to \"Software installed.\"\n" % (mode, seconds))
    with open(os.path.join(LOGS, "times.txt"), "a") as f:
        f.write("%s %.1f\n" % (mode, seconds))


KPK = os.path.join(TOP, "build", "bin", "kpk")
DEVELOPMENT_KEY = os.path.join(TOP, "trust", "development.key")


def bigdep(scratch):
    """A signed 3 MB package that needs a package no medium carries: genuine, but refused by
    the rules."""
    stage = os.path.join(scratch, "bigdep")
    os.makedirs(os.path.join(stage, "tree", "opt"))
    with open(os.path.join(stage, "tree", "opt", "bigdep.bin"), "wb") as f:
        f.write(os.urandom(3 << 20))  # does not compress
    with open(os.path.join(stage, "manifest"), "w") as f:
        f.write("name: bigdep\nversion: 1.0\nbuild: 1765000000\n"
                "description: Needs what is not there.\ndepends: nosuch\nfiles: tree\n"
                "mtime: 1765000000\n")
    unsigned, signed = os.path.join(scratch, "bigdep-unsigned.kpk"), os.path.join(scratch, "bigdep.kpk")
    subprocess.run([KPK, "build", os.path.join(stage, "manifest"), "-o", unsigned], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([KPK, "sign", unsigned, "-k", DEVELOPMENT_KEY, "-o", signed], check=True,
                   stdout=subprocess.DEVNULL)
    return signed


def digest_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def boot_code():
    with open(BOOT_CODE, "rb") as f:
        return f.read()


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
        self.scratch = tempfile.mkdtemp(prefix="kest-vm-")
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def machine(self, name, **kw):
        return vm.Machine(os.path.join(LOGS, name + ".log"), **kw)

    def expect_preinit(self, m):
        """The pre-init loads only what the installer's lists lack."""
        m.expect(r"Linux version", 120)
        # A kernel message may land in the middle of the line, with a line of its own.
        kernel_line = r"\[\s*\d+\.\d+\][^\n]*\n"
        line = m.expect(r"pre-init: loaded((?:%s|[^\n])*)\n" % kernel_line, 90).group(1)
        preinit = re.sub(kernel_line, "", line).split()
        early = {n[:-3].replace("-", "_") for n in preinit}
        self.assertIn("ext4", early)
        self.assertFalse(early & STORAGE, preinit)

    def expect_storage_drivers(self, m):
        """The installer's own loader brings up the PC's disk (and CD-ROM)."""
        m.expect(r"\nLoading drivers\n", 60)
        m.expect(r"scsi host\d+: ata_piix", 30)
        m.expect(r"sd 0:0:0:0: \[sda\] \d+ 512-byte logical blocks", 30)

    def boots_active_partition(self, image, name):
        """A second run of the PC from the installed disk: its first sector must start the
        boot sector of the active partition (a marker the test puts there)."""
        disk.put_marker(image)
        with self.machine(name + "-boot", disks=[image], boot="c", memory=32) as m:
            m.expect(disk.MARKER.decode() + "|" + disk.MARKER_WRONG_ENTRY.decode(), 60)
            self.assertIn(disk.MARKER.decode(), m.text())


class CdromInstall(VmTest):
    # 1024 cylinders of 255 heads and 63 sectors (8.4 GB, sparse): more than 1023, so the
    # disk gets a boot and a journalled root partition.
    SECTORS = 1024 * 16065

    def old_table(self):
        """A first sector as a previous system left it: other boot code and four
        partitions."""
        def entry(active, kind, first_cyl, last_cyl):
            start = first_cyl * 16065 + (63 if first_cyl == 0 else 0)
            size = (last_cyl + 1) * 16065 - start
            chs = lambda c, h, s: bytes([h, s | ((min(c, 1023) >> 2) & 0xC0), min(c, 1023) & 0xFF])  # noqa
            return (bytes([0x80 if active else 0]) + chs(first_cyl, 1 if first_cyl == 0 else 0, 1)
                    + bytes([kind]) + chs(last_cyl, 254, 63) + start.to_bytes(4, "little")
                    + size.to_bytes(4, "little"))
        table = (entry(True, 0x83, 0, 99) + entry(False, 0x82, 100, 499)
                 + entry(False, 0x83, 500, 799) + entry(False, 0x0C, 800, 1023))
        return b"\xcc" * 446 + table + b"\x55\xaa"

    def install(self, name, image, keep, keys, installed):
        with self.machine(name, cdrom=media("cdrom.iso"), disks=[image], boot="d") as m:
            self.expect_preinit(m)
            self.expect_storage_drivers(m)
            m.expect(r"sr 1:0:0:0: \[sr0\] scsi3-mmc drive", 30)
            m.expect(r"Found harddrive as SATA 1\n", 60)
            m.expect(vm.MENU_READY, 120)
            m.send(keys)
            m.expect(r"Do you want to keep old configuration\?  \[y/n\]:", 60)
            m.send("y" if keep else "n")
            m.expect(r"Warning: all data on the disk will be erased!\n\nContinue\? \[y/n\]:", 30)
            m.send("y")
            m.expect(r"\nSoftware installed\.\n", 900)
            report_time(name, m)
            for package in installed:
                self.assertIn("installed " + package, m.text())
            self.assertNotIn("FATAL ERROR", m.text())
            self.assertNotIn("ERROR: ", m.text())
            m.expect(r"Press ENTER to reboot", 60)
            m.send("\r")
            m.expect(r"Rebooting\.\.\.", 30)
            self.assertEqual(m.wait_exit(60), 0)

    def test_install_then_reinstall_keeping_the_configuration(self):
        image = os.path.join(self.scratch, "disk.img")
        old = self.old_table()
        sparse_disk(image, self.SECTORS, old)
        layout = disk.Layout(*disk.kernel_geometry(self.SECTORS))
        self.assertTrue(layout.two_partitions and layout.journal)

        # The menu starts with the minimum (system); 'a' selects all, the cursor goes right
        # to dhcp (system, ppp | dhcp, filters | shaper, vpn) and space takes it out again.
        chosen = ("system", "ppp", "filters", "shaper", "vpn")
        self.install("cdrom", image, False, ["a", "right", "space", "i"],
                     ["system-3.0", "ppp-2.4.7", "filters-1.2", "shaper-1.0rc2", "vpn-1.0"])
        root = disk.check_installed_disk(self, image, archives(*chosen), layout=layout,
                                         old_mbr=old, boot_code=boot_code(),
                                         scratch=self.scratch)
        self.assertIn(b"packages: filters ipsec l2tp ppp shaper system vpn",
                      root.read("/var/log/postinstall.log"))

        # The router is configured, then reinstalled with everything, keeping its store.
        kept = {"/kest/store/hostname": (b"gateway\n", 0o100640, 0, 10, 1700000000),
                "/kest/store/net/lan.conf": (b"address 192.0.2.1/24\n", 0o100600, 0, 0,
                                             1700000100),
                "/kest/store/net": (None, 0o40750, 0, 10, None)}
        self.configure(image, layout, kept)
        self.install("cdrom-again", image, True, ["a", "i"], ["dhcp-3.0.2"])
        root = disk.check_installed_disk(self, image, archives(*ALL), layout=layout,
                                         kept=kept, boot_code=boot_code(),
                                         scratch=self.scratch)
        self.assertIn(b"store: hostname net", root.read("/var/log/postinstall.log"))
        self.boots_active_partition(image, "cdrom")

    def test_a_refused_package_is_named_and_the_rest_installed(self):
        """A CD that also carries a genuine package the rules refuse: it is named before the
        questions, every other package is installed, and the end says which one was not."""
        packages = os.path.join(self.scratch, "packages")
        os.makedirs(packages)
        for path in archives(*ALL) + [bigdep(self.scratch)]:
            shutil.copy(path, packages)
        for name in ("vmlinuz", "cdrom.img"):
            shutil.copy(media(name), self.scratch)
        import media as media_builder  # noqa: E402 (medium/media.py)
        media_builder.build_iso(self.scratch, packages)
        image = sparse_disk(os.path.join(self.scratch, "disk.img"), self.SECTORS)
        layout = disk.Layout(*disk.kernel_geometry(self.SECTORS))
        with self.machine("cdrom-refused", cdrom=os.path.join(self.scratch, "cdrom.iso"),
                          disks=[image], boot="d") as m:
            self.expect_preinit(m)
            self.expect_storage_drivers(m)
            m.expect(r"Found harddrive as SATA 1\n", 60)
            m.expect(vm.MENU_READY, 120)
            m.send(["a", "i"])
            m.expect(r"WARNING: can not install bigdep-1\.0: nosuch is not installed, but is "
                     r"required\n", 120)
            m.expect(r"Do you want to keep old configuration\?  \[y/n\]:", 60)
            m.send("n")
            m.expect(r"Continue\? \[y/n\]:", 30)
            m.send("y")
            m.expect(r"\nERROR: 1 of 9 packages were not installed: bigdep\n", 900)
            m.expect(r"Press ENTER to reboot", 60)
            self.assertNotIn("Software installed.", m.text())
            self.assertNotIn("FATAL ERROR", m.text())
            for package in ("system-3.0", "dhcp-3.0.2", "vpn-1.0", "shaper-1.0rc2"):
                self.assertIn("installed " + package, m.text())
            m.send("\r")
            m.expect(r"Rebooting\.\.\.", 30)
            self.assertEqual(m.wait_exit(60), 0)
        disk.check_installed_disk(self, image, archives(*ALL), layout=layout,
                                  boot_code=boot_code(), scratch=self.scratch)

    def configure(self, image, layout, files):
        with open(image, "rb") as f:
            root_entry = f.read(disk.SECTOR)[462:478]  # partition 2
        fs = disk.ExtFs(image, int.from_bytes(root_entry[8:12], "little"),
                        int.from_bytes(root_entry[12:16], "little"), self.scratch, "configure")
        commands = ["rm /kest/store/hostname"]
        for path, (content, mode, uid, gid, mtime) in sorted(files.items()):
            parent, leaf = path.rsplit("/", 1)
            if content is None:
                commands.append("mkdir " + path)
            else:
                host = os.path.join(self.scratch, "config-" + leaf)
                with open(host, "wb") as f:
                    f.write(content)
                commands += ["cd " + parent, "write %s %s" % (host, leaf), "cd /"]
            commands += ["set_inode_field %s mode 0%o" % (path, mode),
                         "set_inode_field %s uid %d" % (path, uid),
                         "set_inode_field %s gid %d" % (path, gid)]
            if mtime is not None:
                commands.append("set_inode_field %s mtime %d" % (path, mtime))
        disk.configure(fs, commands)


class HardDiskInstall(VmTest):
    def test_unattended_install_from_the_fat_medium(self):
        image = os.path.join(self.scratch, "disk.img")
        shutil.copyfile(media("hdd.img"), image)
        sectors = os.path.getsize(image) // disk.SECTOR
        autorun = subprocess.run(["mtype", "-i", image, "::/autorun.scr"], check=True,
                                 capture_output=True).stdout
        layout = disk.Layout(*disk.kernel_geometry(sectors))
        self.assertFalse(layout.two_partitions)
        with self.machine("hdd", disks=[image], boot="c") as m:
            self.expect_preinit(m)
            m.expect(r"Welcome to Quovalen Router Software hard disk installation\n",
                              90)
            self.expect_storage_drivers(m)
            m.expect(r"\nSoftware installed\.\n", 900)
            report_time("hdd", m)
            for package in ("system-3.0", "dhcp-3.0.2", "vpn-1.0"):
                self.assertIn("installed " + package, m.text())
            m.expect(r"Rebooting\.\.\.", 60)
            self.assertEqual(m.wait_exit(60), 0)
            self.assertNotIn("Press ENTER to reboot", m.text())
            self.assertNotIn("ERROR", m.text())
        disk.check_installed_disk(self, image, archives(*ALL), layout=layout, cdinstall=False,
                                  autorun=autorun, boot_code=boot_code(), scratch=self.scratch)
        self.boots_active_partition(image, "hdd")


    def test_a_selection_that_cannot_be_installed_leaves_disk_and_medium_unchanged(self):
        """The medium is the disk: a selection the rules refuse is refused before either is
        written, byte for byte."""
        image = os.path.join(self.scratch, "disk.img")
        shutil.copyfile(media("hdd.img"), image)
        subprocess.run(["mcopy", "-i", image, bigdep(self.scratch), "::/"], check=True)
        before = digest_of(image)
        with self.machine("hdd-refused", disks=[image], boot="c") as m:
            self.expect_preinit(m)
            self.expect_storage_drivers(m)
            m.expect(r"\nFATAL ERROR: can not install bigdep-1\.0: nosuch is not installed, "
                     r"but is required\n", 300)
            m.expect(r"Press ENTER to reboot", 60)
            m.send("\r")
            m.expect(r"Rebooting\.\.\.", 30)
            self.assertEqual(m.wait_exit(60), 0)
            self.assertNotIn("Creating partition", m.text())
        self.assertEqual(digest_of(image), before, "the disk or its medium changed")


class RemoteInstall(VmTest):
    SECTORS = 4 * 16065  # 4 cylinders, 33 MB: one partition, not journalled

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root for a network namespace and a tap device")
        if not os.path.exists(SERVER):
            raise unittest.SkipTest("no install server at " + SERVER)
        if not os.path.exists("/dev/net/tun") or not shutil.which("ip"):
            raise unittest.SkipTest("no tap devices (/dev/net/tun) or no ip tool")

    def namespace(self):
        """A network namespace of the test's own with the tap device of the virtual PC's
        card; the servers sit on the same tap device, so nothing leaves the namespace."""
        ns = "kest-vm-%d" % os.getpid()
        subprocess.run(["ip", "netns", "add", ns], check=True)
        self.addCleanup(subprocess.run, ["ip", "netns", "delete", ns])
        for cmd in (["link", "set", "lo", "up"],
                    ["tuntap", "add", "dev", "kesttap", "mode", "tap"],
                    ["link", "set", "kesttap", "up"]):
            subprocess.run(["ip", "-n", ns] + cmd, check=True)
        return ns

    def serve_directory(self):
        """What the install server hands out: the packages, a configuration script and,
        as driver server, the driver package for the medium's kernel."""
        served = os.path.join(self.scratch, "served")
        os.makedirs(os.path.join(served, "drivers"))
        for path in archives(*ALL):
            shutil.copy(path, served)
        with open(media("release")) as f:
            release = f.read().strip()
        shutil.copy(os.path.join(PACKAGES, "net", "drivers.kpk"),
                    os.path.join(served, "drivers", release + ".kpk"))
        with open(os.path.join(served, "site.scr"), "wb") as f:
            f.write(b"hostname router-remote\n")
        return served

    def test_install_from_the_install_server(self):
        image = sparse_disk(os.path.join(self.scratch, "disk.img"), self.SECTORS)
        layout = disk.Layout(*disk.kernel_geometry(self.SECTORS))
        self.assertFalse(layout.two_partitions or layout.journal)
        ns = self.namespace()
        served = self.serve_directory()
        log = open(os.path.join(LOGS, "net-server.log"), "wb")
        self.addCleanup(log.close)
        server = subprocess.Popen(["ip", "netns", "exec", ns, SERVER, "--interface", "kesttap",
                                   served], stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.terminate)
        with self.machine("net", kernel=media("vmlinuz"), initrd=media("net.img"),
                          append=CMDLINE, disks=[image], netns=ns, tap="kesttap") as m:
            self.expect_preinit(m)
            m.expect(r"Welcome to Quovalen Router Software remote installation\n", 90)
            m.expect(r"mac-address: [0-9A-F:]{17}\n", 30)
            # The storage modules arrive in the driver package; the installer loads them from
            # its lists.
            fetched = m.expect(r"Retrieving drivers\.\.\.", 120)
            found = m.expect(r"Looking for harddrives\.\.\.", 120)
            loading = m.text()[fetched.end():found.start()]
            self.assertIn("Loading drivers\n", loading)
            self.assertRegex(loading, r"scsi host\d+: ata_piix")
            m.expect(r"Found harddrive as SATA 1\n", 60)
            m.expect(r"Found server at ", 120)
            m.expect(r"Writing configuration\.\.\.", 900)
            m.expect(r"\nSoftware installed\.\n", 300)
            report_time("net", m)
            m.expect(r"Rebooting\.\.\.", 120)
            self.assertEqual(m.wait_exit(60), 0)
            self.assertNotIn("ERROR", m.text())
        root = disk.check_installed_disk(self, image, archives(*ALL), layout=layout,
                                         boot_code=boot_code(), scratch=self.scratch)
        self.assertEqual(root.read("/site.scr"), b"hostname router-remote\n")
        self.boots_active_partition(image, "net")


if __name__ == "__main__":
    unittest.main()
