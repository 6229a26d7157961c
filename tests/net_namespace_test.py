#!/usr/bin/env python3
"""Remote installation over real sockets. A small LAN of network namespaces: installer A with
two cards and installer B with one, joined by a bridge in the server's namespace. The
installer side is the installer's own network code (net_probe); the server side is
install-server or a scripted peer (lib/netpeer.py) that misbehaves on purpose. Every packet
stays inside these namespaces; each run is bounded in time, and the namespaces are deleted
even when a test fails. Needs root, ip and unshare-free network namespaces; skips (77)
without them."""
import filecmp
import os
import stat
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

PROBE = os.environ.get("NET_PROBE", "")
SERVER = os.environ.get("INSTALL_SERVER", "")
EMULATOR = os.environ.get("NET_EMULATOR", "").split()  # runs the programs of a 32-bit build
INSTALLER = os.environ.get("INSTALLER", "")  # statically linked, run only in the namespaces
KPK = os.environ.get("KPK", "")
SFDISK = os.environ.get("SFDISK", "")  # the medium's partitioning tool, as built
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib", "netpeer.py")
TAG = f"{os.getpid()}"


def sh(*cmd, timeout=10, check=True):
    return subprocess.run(cmd, check=check, timeout=timeout, capture_output=True, text=True)


class Lan:
    """Namespaces kest-a-*, kest-b-*, kest-s-*. Installer A's card a0 and installer B's card b0
    share one segment (bridge br0 in the server's namespace, so each hears the other's
    broadcasts); A's second card a1 has a link of its own to the server's card p1. (Two cards
    of one installer on one segment would both receive every IP fragment of the 4096-byte
    replies, and the kernel hands each reassembled datagram to one of them only.)"""

    def __init__(self):
        self.a, self.b, self.s = f"kest-a-{TAG}", f"kest-b-{TAG}", f"kest-s-{TAG}"
        self.made = []
        try:
            for ns in (self.a, self.b, self.s):
                sh("ip", "netns", "add", ns)
                self.made.append(ns)
            sh("ip", "-n", self.s, "link", "add", "br0", "type", "bridge")
            for ns, card, port in ((self.a, "a0", "p0"), (self.a, "a1", "p1"), (self.b, "b0", "p2")):
                sh("ip", "link", "add", card, "netns", ns, "type", "veth", "peer", "name", port,
                   "netns", self.s)
                if port != "p1":
                    sh("ip", "-n", self.s, "link", "set", port, "master", "br0")
                sh("ip", "-n", self.s, "link", "set", port, "up")
            sh("ip", "-n", self.s, "link", "set", "br0", "up")
            # The installer switches its own cards on; the bridge forwards at once.
            sh("ip", "-n", self.s, "link", "set", "br0", "type", "bridge", "forward_delay", "0")
        except Exception:
            self.close()
            raise

    def close(self):
        for ns in self.made:
            sh("ip", "netns", "del", ns, check=False)
        self.made = []

    def lose(self, percent):
        """Drops percent of the frames arriving on every installer card and bridge port."""
        for ns, cards in ((self.a, ("a0", "a1")), (self.b, ("b0",)), (self.s, ("p0", "p1", "p2"))):
            rules = "table netdev loss {\n" + "".join(
                f' chain {c} {{ type filter hook ingress device "{c}" priority 0; '
                f"numgen random mod 100 < {percent} drop; }}\n" for c in cards) + "}\n"
            subprocess.run(["ip", "netns", "exec", ns, "nft", "-f", "-"], input=rules, text=True,
                           check=True, timeout=10)

    def start(self, ns, *cmd, stdin=subprocess.DEVNULL):
        return subprocess.Popen(["ip", "netns", "exec", ns, *cmd], stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def finish(process, timeout):
    """Waits for the process (its standard input stays open: closing it would be a key
    press) and returns its output."""
    note = ""
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        note = "\n(killed after the time limit)"
    out = process.stdout.read() + note
    process.stdout.close()
    if process.stdin:
        process.stdin.close()
    return out


def stop(process):
    """Ends a server with Ctrl-C and returns its output."""
    if process.poll() is None:
        process.send_signal(2)
    return finish(process, 5)


def sweep_stale_namespaces():
    """Deletes namespaces of earlier runs that were killed before they could clean up."""
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for name, pid in re.findall(r"^(kest-[abs]-(\d+))", listing, re.M):
        if not os.path.exists(f"/proc/{pid}"):
            sh("ip", "netns", "del", name, check=False)


def can_run():
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    if not shutil.which("ip"):
        return "ip (iproute2) is not installed"
    if not (PROBE and SERVER):
        return "NET_PROBE and INSTALL_SERVER are not set"
    try:
        sweep_stale_namespaces()
        Lan().close()
    except Exception as e:
        return f"network namespaces unavailable: {e}"
    return None


class RemoteInstallation(unittest.TestCase):
    def setUp(self):
        self.lan = Lan()
        self.addCleanup(self.lan.close)
        self.dir = tempfile.mkdtemp(prefix="kest-net-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.processes = []
        self.addCleanup(self.kill_all)

    def kill_all(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait()

    def path(self, *parts):
        p = os.path.join(self.dir, *parts)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        return p

    def start(self, ns, *cmd, **kw):
        p = self.lan.start(ns, *cmd, **kw)
        self.processes.append(p)
        return p

    def server(self, *args):
        p = self.start(self.lan.s, *EMULATOR, SERVER, "--interface", "br0", "--interface", "p1", *args,
                       self.path("srv"))
        time.sleep(0.3)
        return p

    def peer(self, *args, duration=20):
        os.makedirs(self.path("served", "x"), exist_ok=True)
        p = self.start(self.lan.s, sys.executable, PEER, "--interface", "br0", "--serve-dir",
                       self.path("served"), "--duration", str(duration), *args)
        time.sleep(0.3)
        return p

    def probe(self, ns, name, *args, stdin=subprocess.DEVNULL):
        out = self.path(name, "x")
        return self.start(ns, *EMULATOR, PROBE, *args, os.path.dirname(out), stdin=stdin)

    @staticmethod
    def peer_log(text, kind):
        """(time, seq) of every datagram of kind the peer received."""
        return [(float(t), int(s)) for t, s in re.findall(rf"^([\d.]+) {kind} seq=(\d+)", text, re.M)]

    def test_install_server_serves_two_installers_at_once(self):
        rng = random.Random(5)
        sizes = {"empty.scr": 0, "a4075.scr": 4075, "b4076.scr": 4076, "c4077.scr": 4077,
                 "mega.scr": 1 << 20}
        for name, size in sizes.items():
            with open(self.path("srv", name), "wb") as f:
                f.write(rng.randbytes(size))
        with open(self.path("srv", "drivers", "6.1.0-test.kpk"), "wb") as f:
            f.write(rng.randbytes(9000))
        # A server starts nobody on scripts alone: that would install an empty system.
        self.build(self.signed_package("base", "name: base\nversion: 1.0\n", {"etc/base": "x\n"}),
                   self.path("srv", "base.kpk"))
        sizes["base.kpk"] = os.path.getsize(self.path("srv", "base.kpk"))
        server = self.server("--keep")
        a = self.probe(self.lan.a, "a", "--driver", "6.1.0-test", "--label", "routerA")
        b = self.probe(self.lan.b, "b", "--label", "routerB")
        out_a, out_b = finish(a, 30), finish(b, 30)
        log = stop(server)
        for out, name in ((out_a, "a"), (out_b, "b")):
            self.assertIn("keep 1", out, out + log)
            self.assertIn("\nend\nterminated", out, out + log)
            for f in sizes:
                self.assertTrue(filecmp.cmp(self.path("srv", f), self.path(name, f), False), f)
        self.assertIn("driver 6.1.0-test.kpk 9000", out_a)
        self.assertTrue(filecmp.cmp(self.path("srv", "drivers", "6.1.0-test.kpk"),
                                    self.path("a", "driver-6.1.0-test.kpk"), False))
        finished = rf"\) finished: 6 files, {sum(sizes.values())} bytes"
        self.assertEqual(len(re.findall(finished, log)), 2, log)
        self.assertIn("install-server: stopped", log)

        # Without --keep the offer does not keep the configuration.
        server = self.server()
        out = finish(self.probe(self.lan.b, "c", "--no-start"), 15)
        stop(server)
        self.assertIn("keep 0", out)

    def test_offers_the_installer_must_ignore(self):
        # Round 1: 513 characters on line 2; round 2: exactly 512, with keep.
        peer = self.peer("--first-offer", "513", "--offer", "512", "--keep", duration=6)
        out = finish(self.probe(self.lan.a, "a", "--no-start"), 15)
        log = stop(peer)
        self.assertIn("keep 1", out)
        yack = self.peer_log(log, "YACK")
        self.assertEqual(len(yack), 1, log)
        self.assertGreater(yack[0][0], 0.9, "taken in the first round: " + log)

        # Round 1: offers to nobody, with sequence 2, and with a lying length.
        peer = self.peer("--bad-offers", duration=6)
        out = finish(self.probe(self.lan.a, "b", "--no-start"), 15)
        log = stop(peer)
        self.assertIn("keep 0", out)
        self.assertEqual(len(self.peer_log(log, "DSCV")), 2, log)  # two rounds

    def test_unanswered_yack_is_sent_five_times_then_announced_again(self):
        peer = self.peer("--ignore-yack-rounds", "1", duration=10)
        out = finish(self.probe(self.lan.a, "a", "--no-start"), 20)
        log = stop(peer)
        self.assertIn("server", out)
        yack = self.peer_log(log, "YACK")
        self.assertEqual(len(yack), 6, log)
        self.assertEqual({s for _, s in yack}, {1})
        gaps = [yack[i + 1][0] - yack[i][0] for i in range(4)]
        self.assertTrue(all(0.9 < g < 1.2 for g in gaps), gaps)
        second_round = [t for t, _ in self.peer_log(log, "DSCV") if t > yack[0][0]]
        self.assertTrue(second_round and yack[4][0] + 0.9 < second_round[0] <= yack[5][0], log)

    def test_negative_size_duplicates_and_termination(self):
        files = "a.scr:5000,b.scr:0,c.kpk:12000"
        peer = self.peer("--files", files, "--duplicate-blocks", "--negative-after", "3",
                         "--term-after", "3")
        probe = self.probe(self.lan.a, "a", stdin=subprocess.PIPE)  # no key is pressed
        out = finish(probe, 20)
        log = stop(peer)
        self.assertIn("\nend\nterminated", out, log)
        for name in ("a.scr", "b.scr", "c.kpk"):
            self.assertTrue(filecmp.cmp(self.path("served", name), self.path("a", name), False), name)
        wtrm = self.peer_log(log, "WTRM")
        self.assertEqual(len(wtrm), 3, log)
        self.assertEqual(len({s for _, s in wtrm}), 1)
        self.assertTrue(all(0.9 < wtrm[i + 1][0] - wtrm[i][0] < 1.2 for i in range(2)), wtrm)

    def test_decoys_around_every_reply_are_not_taken(self):
        """Before each reply the peer sends datagrams of more than 4096 bytes with the reply's
        numbers (one whose header tells the 4076 payload bytes that a cut copy would show) and
        copies to anyone and to another card: the files still arrive byte-identical."""
        peer = self.peer("--files", "a.scr:9000,c.kpk:12000", "--decoys", duration=15)
        out = finish(self.probe(self.lan.a, "a"), 20)
        log = stop(peer)
        self.assertIn("\nend\nterminated", out, out + log)
        for name in ("a.scr", "c.kpk"):
            self.assertTrue(filecmp.cmp(self.path("served", name), self.path("a", name), False), name)

    def test_install_server_drops_datagrams_longer_than_a_message(self):
        """A router announces itself with a DSCV of 5000 bytes whose header tells the 4076
        payload bytes that a copy cut to 4096 would show: install-server does not offer. The
        same announcement at its true size gets the offer."""
        # A driver package alone is enough for the server to start.
        with open(self.path("srv", "drivers", "6.1.0-test.kpk"), "wb") as f:
            f.write(os.urandom(100))
        server = self.server()
        sh("ip", "-n", self.lan.b, "link", "set", "b0", "up")
        router = (
            "import socket, struct\n"
            "mac = bytes.fromhex(open('/sys/class/net/b0/address').read().strip().replace(':', ''))\n"
            "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b'b0')\n"
            "s.bind(('', 5000))\n"
            "s.settimeout(1.5)\n"
            "text = b'DSCV\\n\\n\\nbig\\ni386\\n\\0'.ljust(4076, b'x')\n"
            "for extra in (924, 0):\n"
            "    header = struct.pack('<6s6sHHHH', mac, bytes(6), 0, 4076, 1, 0)\n"
            "    s.sendto(header + text + b'y' * extra, ('255.255.255.255', 5000))\n"
            "    try:\n"
            "        while True:\n"
            "            data = s.recv(4096)\n"
            "            if data[6:12] == mac and data[20:24] == b'OFFR':\n"
            "                print('offer after', 4096 + extra)\n"
            "                break\n"
            "    except socket.timeout:\n"
            "        print('silence after', 4096 + extra)\n")
        out = sh("ip", "netns", "exec", self.lan.b, sys.executable, "-c", router, timeout=10).stdout
        log = stop(server)
        self.assertEqual(out, "silence after 5020\noffer after 4096\n", log)

    def test_a_key_press_ends_the_wait_for_term(self):
        if EMULATOR:
            # qemu-user reports the probe's silent standard input as readable at once (the
            # same pipe stays silent for the native program).
            self.skipTest("standard input under the emulator")
        peer = self.peer("--term-after", "0", duration=8)
        probe = self.probe(self.lan.a, "a", stdin=subprocess.PIPE)
        time.sleep(2.5)
        probe.stdin.write("\n")
        probe.stdin.flush()
        out = finish(probe, 10)
        log = stop(peer)
        self.assertIn("\nend\nterminated", out)
        self.assertGreaterEqual(len(self.peer_log(log, "WTRM")), 2, log)

    def test_a_session_takes_at_most_65535_replies(self):
        started = time.monotonic()
        peer = self.peer("--endless", duration=60)
        out = finish(self.probe(self.lan.a, "a"), 60)
        stop(peer)
        self.assertIn("failed during endless.kpk after 65535 replies", out)
        print(f"\n65535-reply session: failed cleanly after {time.monotonic() - started:.1f} s",
              file=sys.stderr)

    def test_transfers_survive_five_percent_loss(self):
        rng = random.Random(9)
        names = {"one.scr": 1 << 20, "two.scr": 300000, "three.scr": 4076}
        for name, size in names.items():
            with open(self.path("srv", name), "wb") as f:
                f.write(rng.randbytes(size))
        # The server starts nobody without a package to install.
        self.build(self.signed_package("base", "name: base\nversion: 1.0\n", {"etc/base": "x\n"}),
                   self.path("srv", "base.kpk"))
        names["base.kpk"] = 0
        self.lan.lose(5)
        server = self.server()
        started = time.monotonic()
        a = self.probe(self.lan.a, "a")
        b = self.probe(self.lan.b, "b")
        out_a, out_b = finish(a, 90), finish(b, 90)
        elapsed = time.monotonic() - started
        stop(server)
        for out, who in ((out_a, "a"), (out_b, "b")):
            self.assertIn("end\n", out, out)
            for name in names:
                self.assertTrue(filecmp.cmp(self.path("srv", name), self.path(who, name), False))
        print(f"\n5% loss: two installers fetched {sum(names.values())} bytes each in "
              f"{elapsed:.1f} s", file=sys.stderr)

    def test_the_installer_itself_fetches_its_drivers(self):
        """The real installer as init of new PID and mount namespaces inside installer A's
        network namespace, with a scratch root: it switches on both cards, installs the driver
        package from install-server, and stops at the disk (its root has no partitioning
        tool and no disk)."""
        if not (INSTALLER and KPK) or EMULATOR or not shutil.which("unshare"):
            self.skipTest("needs the static installer, kpk and unshare (native build)")
        release = os.uname().release
        tree = self.path("pkg", "tree", "etc", "netdrv")
        with open(tree, "w") as f:
            f.write("driver files\n")
        with open(self.path("pkg", "manifest"), "w") as f:
            f.write("name: netdrv\nversion: 1.0\nplain: yes\nfiles: tree\n")
        driver = self.path("srv", "drivers", release + ".kpk")
        sh(KPK, "build", self.path("pkg", "manifest"), "-o", driver + ".unsigned")
        sh(KPK, "sign", driver + ".unsigned", "-k", os.path.join(SOURCE, "trust", "development.key"),
           "-o", driver)
        os.unlink(driver + ".unsigned")
        root = self.path("root", "x")[:-2]
        for d in ("proc", "dev", "flash"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        for node in ("tty0", "null", "tty9"):
            open(os.path.join(root, "dev", node), "w").close()
        with open(os.path.join(root, "TYPE"), "w") as f:
            f.write("net\n")
        inside = "/kest-net-installer"
        self.assertFalse(os.path.exists(inside))  # the name means nothing outside the root
        shutil.copy(INSTALLER, root + inside)
        server = self.server()
        run = subprocess.run(["ip", "netns", "exec", self.lan.a, "unshare", "--pid", "--mount",
                              "--fork", "--kill-child", "--root=" + root, inside],
                             input="\n", capture_output=True, text=True, timeout=90)
        log = stop(server)
        out = run.stdout
        macs = [sh("ip", "netns", "exec", self.lan.a, "cat", f"/sys/class/net/{c}/address")
                .stdout.strip().upper() for c in ("a0", "a1")]
        self.assertIn("Welcome to Quovalen Router Software remote installation\n", out)
        self.assertIn("".join(f"mac-address: {m}\n" for m in macs), out)
        self.assertIn("\nWaiting for drivers...\nRetrieving drivers...\nLoading drivers\n", out)
        self.assertIn("\nFATAL ERROR: no harddrives found\nPress ENTER to reboot", out)
        self.assertTrue(out.endswith("\nRebooting..."), out)
        with open(os.path.join(root, "etc", "netdrv")) as f:
            self.assertEqual(f.read(), "driver files\n")
        self.assertIn(f"driver sent: {release}.kpk", log)
        for card in ("a0", "a1"):
            flags = sh("ip", "-n", self.lan.a, "link", "show", card).stdout
            self.assertRegex(flags, r"<[^>]*PROMISC[^>]*UP[^>]*>", flags)

    def signed_package(self, name, manifest, files):
        """Builds and signs DIR/name.kpk from a manifest and {path: text} of its tree."""
        for path, text in files.items():
            with open(self.path("pkg", name, "tree", path), "w") as f:
                f.write(text)
        with open(self.path("pkg", name, "manifest"), "w") as f:
            f.write(f"{manifest}files: tree\nmtime: 1700000000\n")
        return self.path("pkg", name, "manifest")

    def build(self, manifest, out):
        sh(KPK, "build", manifest, "-o", out + ".unsigned")
        sh(KPK, "sign", out + ".unsigned", "-k", os.path.join(SOURCE, "trust", "development.key"),
           "-o", out)
        os.unlink(out + ".unsigned")
        return out

    def installer_root(self, who):
        """A scratch root for the real installer: its /dev holds its own loop disk (/dev/sda, a
        sparse image of 100 cylinders of 16 heads and 63 sectors) and nothing else that is a
        device; /sbin/sfdisk and /sbin/mke2fs are wrappers (static busybox) around the
        medium's sfdisk and the host's mke2fs, copied in with their libraries, that accept
        this disk and its partitions only. Returns (root, image)."""
        root = self.path("root-" + who, "x")[:-2]
        image = self.path("disk-" + who + ".img")
        with open(image, "wb") as f:
            f.truncate(100 * 16 * 63 * 512)
        attached = sh("losetup", "-P", "--show", "-f", image, check=False)
        if attached.returncode != 0:
            self.skipTest("no loop device: " + attached.stderr.strip())
        loop = attached.stdout.strip()
        self.assertRegex(loop, r"^/dev/loop\d+$")
        self.addCleanup(sh, "losetup", "-d", loop, check=False)
        for d in ("proc", "dev", "flash", "floppy", "bin", "sbin"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        for node in ("tty0", "null", "tty9"):
            open(os.path.join(root, "dev", node), "w").close()
        os.mknod(os.path.join(root, "dev", "sda"), stat.S_IFBLK | 0o600, os.stat(loop).st_rdev)
        with open(os.path.join(root, "TYPE"), "w") as f:
            f.write("net\n")
        shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
        os.symlink("busybox", os.path.join(root, "bin", "sh"))
        for program, inside in ((SFDISK, "/sbin/sfdisk.medium"), (shutil.which("mke2fs"),
                                                                   "/sbin/mke2fs.host")):
            shutil.copy(program, root + inside)
            for lib in re.findall(r"(/\S+) \(0x", sh("ldd", program).stdout):
                os.makedirs(os.path.dirname(root + lib), exist_ok=True)
                shutil.copy(lib, root + lib)
        part = os.path.basename(loop) + "p"
        wrappers = {
            # After writing the table, the partitions' nodes are made anew from what the
            # kernel now lists for the loop device.
            "sfdisk": "mode=w\nfor a; do case $a in\n  -g|-d) mode=r ;;\n  -q|-uC|/dev/sda) ;;\n"
                      "  *) echo \"refused: $a\" >&2; exit 99 ;;\nesac; done\n"
                      "case \" $* \" in *\" /dev/sda \"*) ;; *) set -- \"$@\" /dev/sda ;; esac\n"
                      "/sbin/sfdisk.medium -H 16 -S 63 \"$@\"\nstatus=$?\n"
                      "if [ $mode = w ]; then for n in 1 2; do\n  /bin/busybox rm -f /dev/sda$n\n"
                      f"  f=/sys/class/block/{part}$n/dev\n"
                      "  [ -e $f ] && /bin/busybox mknod /dev/sda$n b $(/bin/busybox tr : ' ' < $f)\n"
                      "done; fi\nexit $status\n",
            "mke2fs": "for a; do case $a in\n  -j|/dev/sda1|/dev/sda2) ;;\n"
                      "  *) echo \"refused: $a\" >&2; exit 99 ;;\nesac; done\n"
                      "exec /sbin/mke2fs.host -q \"$@\"\n",
        }
        for name, body in wrappers.items():
            with open(os.path.join(root, "sbin", name), "w") as f:
                f.write("#!/bin/sh\n" + body)
            os.chmod(os.path.join(root, "sbin", name), 0o755)
        shutil.copy(INSTALLER, root + "/kest-net-installer")
        return root, image

    def test_two_whole_remote_installations_onto_loop_disks(self):
        """The real installer twice at once, each as init of new PID and mount namespaces in
        installer A's and B's network namespaces, installs onto its own loop disk what
        install-server hands out; each disk is then read with e2fsprogs and util-linux."""
        if not (INSTALLER and KPK and SFDISK) or EMULATOR:
            self.skipTest("needs the static installer, kpk and the medium's sfdisk (native build)")
        missing = [t for t in ("unshare", "losetup", "mke2fs", "e2fsck", "debugfs", "sfdisk")
                   if not shutil.which(t)] + [p for p in ("/bin/busybox",) if not os.path.exists(p)]
        if missing:
            self.skipTest("missing: " + " ".join(missing))
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
        import installed_disk as disk
        release = os.uname().release
        # A driver package without modules: nothing is loaded into this machine's kernel.
        self.build(self.signed_package("netdrv", "name: netdrv\nversion: 1.0\nplain: yes\n",
                                       {"etc/netdrv": "driver files\n"}),
                   self.path("srv", "drivers", release + ".kpk"))
        archives = [
            self.build(self.signed_package("system", "name: system\nversion: 3.0\n",
                                           {"etc/issue": "router\n", "bin/tool": "#!/bin/sh\n"}),
                       self.path("srv", "system.kpk")),
            self.build(self.signed_package("extras", "name: extras\nversion: 1.2\n"
                                           "depends: system >= 3.0\n", {"opt/extras": "x" * 70000}),
                       self.path("srv", "extras.kpk")),
        ]
        with open(self.path("srv", "site.scr"), "w") as f:
            f.write("hostname router\n")
        roots = {who: self.installer_root(who) for who in ("a", "b")}
        server = self.server()
        started = time.monotonic()
        runs = {who: self.start(ns, "unshare", "--pid", "--mount", "--fork", "--kill-child",
                                "--root=" + roots[who][0], "/kest-net-installer",
                                stdin=subprocess.PIPE)  # no key is pressed
                for who, ns in (("a", self.lan.a), ("b", self.lan.b))}
        outs = {who: finish(p, 120) for who, p in runs.items()}
        elapsed = time.monotonic() - started
        log = stop(server)
        scratch = self.path("check", "x")[:-2]
        for who, out in outs.items():
            self.assertIn("\nFound server at ", out, out + log)
            self.assertIn("\nSoftware installed.\nPress ENTER to reboot", out, out + log)
            self.assertNotIn("ERROR", out, out)
            self.assertTrue(out.endswith("\nRebooting..."), out)
            root = disk.check_installed_disk(self, roots[who][1], archives,
                                             layout=disk.Layout(16, 63, 100), scratch=scratch)
            self.assertEqual(root.read("/site.scr"), b"hostname router\n")
            with open(os.path.join(roots[who][0], "etc", "netdrv")) as f:
                self.assertEqual(f.read(), "driver files\n")
        self.assertEqual(len(re.findall(r"\) finished: 3 files", log)), 2, log)
        print(f"\ntwo whole remote installations onto loop disks: {elapsed:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    reason = can_run()
    if reason:
        print("SKIP:", reason)
        sys.exit(77)
    unittest.main(verbosity=2)
