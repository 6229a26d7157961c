#!/usr/bin/env python3
"""Crash safety of the target and its package database: `kpk install` is killed at many
points of an installation (fresh and upgrade), or runs out of space on a small file system,
and the next run must load a database whose records describe files that exist, leave no
file in the target that no record names, and keep an interrupted upgrade's old version whole.

Kill points: SIGKILL to the whole process group once the installation child has consumed a
given offset of the archive stream, and (with strace) SIGKILL injected into the child at its
Nth call of one file-system system call. CRASH_POINTS scales the number of points."""
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "lib"))
import kpkfmt as k  # noqa: E402
import kpksig  # noqa: E402

KPK = os.environ.get("KPK", "build/bin/kpk")
SOURCE = os.environ.get("KEST_SOURCE_DIR", os.path.dirname(HERE))
TRUST = kpksig.Trust(os.environ.get("KEST_TRUST_DIR", os.path.join(SOURCE, "trust")))
(_KEY,) = kpksig.read_hex_words(os.path.join(SOURCE, "trust", "development.key"))
DEV_SCALAR = int.from_bytes(bytes.fromhex(_KEY), "little")
POINTS = int(os.environ.get("CRASH_POINTS", "6"))
STRACE = shutil.which("strace")
# Set by the build for a plain build, where valgrind can run the package tool.
VALGRIND = shutil.which("valgrind") if os.environ.get("KEST_VALGRIND") == "1" else None


def signed_parts(name, ver, files):
    parts = [k.part(k.PACKAGE_HEADER, k.header_record(name, ver, 1700000000)),
             k.part(k.UNINSTALL_SCRIPT, b"true\n"),
             k.part(k.FILE_DATA, k.compress(b"".join(k.file_record(*f) for f in files), 1))]
    header = k.part(k.SIGNATURE, b"")[:2] + (68).to_bytes(4, "little")
    digest = kpksig.sha1(b"".join(parts) + header)
    return parts + [header + kpksig.sign(TRUST, DEV_SCALAR, digest)]


def package(name, ver, files):
    return k.archive(signed_parts(name, ver, files))


def big_parts(ver, names, salt, name="big"):
    rng = random.Random(salt)
    files = [("usr/share/%s" % name, 0o40755), ("usr/lib/%s" % name, 0o120777, b"../share/" + name.encode())]
    for n in names:  # incompressible content, so that the stream is long
        files.append(("usr/share/%s/%s" % (name, n), 0o100644, rng.randbytes(1500 + n * 7 % 3000)))
    return signed_parts(name, ver, files)


def big(ver, names, salt):
    return k.archive(big_parts(ver, names, salt))


def suite(ver, salt):
    """A bundle of two members, both of them replaced by the next version."""
    head = [k.part(k.BUNDLE_HEADER, k.header_record("suite", ver, 1700000000))]
    return k.archive(head + big_parts(ver, range(salt, salt + 80), salt, "one") +
                     big_parts(ver, range(salt, salt + 80), salt + 1, "two"))


BASE = package("base", k.version(1, 0), [("etc/base%d" % i, 0o100644, b"base %d\n" % i)
                                         for i in range(20)])
OLD = big(k.version(1, 0), range(0, 300), 1)
NEW = big(k.version(2, 0), range(100, 420), 2)  # replaces 200 files, drops 100, adds 120
FORGED = NEW[:-1] + bytes([NEW[-1] ^ 1])  # fails at its very end: everything is undone
SUITE1, SUITE2 = suite(k.version(1, 0), 0), suite(k.version(2, 0), 40)
V1, V2 = "%d 1700000000" % k.version(1, 0), "%d 1700000000" % k.version(2, 0)


def close_quietly(pipe):
    try:
        pipe.close()  # closed even when the flush fails
    except BrokenPipeError:
        pass


def snapshot(root):
    """Every entry below root but directories: relative path -> content digest or link."""
    out = {}
    for top, dirs, files in os.walk(root):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(top, d))]:
            path = os.path.join(top, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                out[rel] = "-> " + os.readlink(path)
            else:
                with open(path, "rb") as f:
                    out[rel] = hashlib.sha1(f.read()).hexdigest()
    return out


class Target:
    def __init__(self, path):
        self.path = path

    def kpk(self, *args, **kw):
        return subprocess.run([KPK, *args, "--root", self.path], capture_output=True, **kw)

    def check(self, test, base, old, name="big"):
        """The next run loads the database; every record is whole; nothing is left over.
        Returns the version line of the package name ('' when it is not installed)."""
        listing = self.kpk("installed", text=True)
        test.assertEqual(listing.returncode, 0, listing.stderr)
        test.assertNotIn("broken record", listing.stdout)
        pdb = os.path.join(self.path, "var/pdb")
        records = sorted(os.listdir(pdb))
        test.assertEqual([r for r in records if r.startswith(".")], [], "left in the database")
        owned = set()
        for record in records:
            files = os.path.join(pdb, record, "files")
            if record == "suite":  # a bundle owns no files
                test.assertFalse(os.path.exists(files))
                continue
            with open(files) as f:
                for line in f.read().splitlines():
                    test.assertTrue(os.path.lexists(os.path.join(self.path, line)),
                                    "%s names a missing %s" % (record, line))
                    owned.add(line)
        now = snapshot(self.path)
        stray = [p for p in now if p not in owned and not p.startswith("var/pdb/")]
        test.assertEqual(stray, [], "files that no record names")
        for p, digest in base.items():
            test.assertEqual(now.get(p), digest, "base changed: " + p)
        if name not in records:
            return ""
        with open(os.path.join(pdb, name, "version")) as f:
            version = f.read().strip()
        if version == V1 and old:  # the upgrade was undone: the old version is whole again
            for p, digest in old.items():
                test.assertEqual(now.get(p), digest, "old version changed: " + p)
        test.assertIn(version, (V1, V2))
        return version


class CrashSafety(unittest.TestCase):
    def setUp(self):
        # A memory file system where there is one: the many installations stay fast.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        self.dir = tempfile.TemporaryDirectory(dir=shm)
        self.addCleanup(self.dir.cleanup)
        self.archives = {}
        for name, data in (("base", BASE), ("old", OLD), ("new", NEW), ("suite1", SUITE1),
                           ("suite2", SUITE2), ("forged", FORGED)):
            self.archives[name] = os.path.join(self.dir.name, name + ".kpk")
            with open(self.archives[name], "wb") as f:
                f.write(data)

    def fresh_target(self, first, where=None):
        """A target holding base and the archive first (if any), with their entries."""
        t = Target(tempfile.mkdtemp(dir=where or self.dir.name))
        p = t.kpk("install", "--quiet", self.archives["base"],
                  *([self.archives[first]] if first else []))
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        snap = snapshot(t.path)
        base = {p: d for p, d in snap.items() if p.startswith("etc/base")}
        old = {p: d for p, d in snap.items() if p.startswith("usr/") and first == "old"}
        return t, base, old

    def start(self, t):
        return subprocess.Popen([KPK, "install", "--quiet", "--root", t.path, "-"],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)

    def child_of(self, proc):
        deadline = time.time() + 5
        while time.time() < deadline:
            with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
                kids = f.read().split()
            if kids:
                return int(kids[0])
            time.sleep(0.001)
        self.fail("no installation child")

    def kill_at_offset(self, t, data, offset):
        proc = self.start(t)
        child = self.child_of(proc)
        proc.stdin.write(data[:offset])
        proc.stdin.flush()
        deadline = time.time() + 5
        # Until the child has read what reached it (the parent keeps up to a block in its
        # buffer) and waits for more.
        while time.time() < deadline:
            try:
                with open("/proc/%d/io" % child) as f:
                    rchar = int(f.read().split("rchar: ")[1].split()[0])
                with open("/proc/%d/stat" % child) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except (OSError, IndexError):
                break
            if rchar >= offset - 8192 and state == "S":
                break
            time.sleep(0.0005)
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        close_quietly(proc.stdin)
        self.wait_gone(child)

    def wait_gone(self, child):
        """Until every thread of the killed child has exited: the child may outlive its parent
        by a moment, and its main thread shows as a zombie while another thread (the inflater)
        still holds the open files, the locked journal among them. Until then the next run
        rightly takes the journal for a live installation's."""
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                with open("/proc/%d/stat" % child) as f:
                    zombie = f.read().rsplit(")", 1)[1].split()[0] == "Z"
                if zombie and os.listdir("/proc/%d/task" % child) == [str(child)]:
                    return
            except OSError:
                return
            time.sleep(0.001)
        self.fail("the killed installation child %d lives on" % child)

    def traced(self, t, strace_args):
        """Starts kpk install with strace attached to its child; (proc, tracer, child), or None
        when strace cannot attach (then the processes are gone again)."""
        proc = self.start(t)
        child = self.child_of(proc)
        tracer = subprocess.Popen([STRACE, "-qq", *strace_args, "-p", str(child)],
                                  stderr=subprocess.DEVNULL)
        deadline = time.time() + 5
        while True:
            with open("/proc/%d/status" % child) as f:
                if "TracerPid:\t0\n" not in f.read():
                    return proc, tracer, child
            if time.time() > deadline or tracer.poll() is not None:
                tracer.kill()
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
                tracer.wait()
                return None
            time.sleep(0.001)

    def kill_at_call(self, t, data, call, n):
        """SIGKILL injected into the child at its nth call of call."""
        proc, tracer, child = self.traced(t, ["-o", "/dev/null", "-e", "trace=" + call, "-e",
                                              "inject=%s:signal=KILL:when=%d" % (call, n)])
        try:
            proc.stdin.write(data)
        except BrokenPipeError:
            pass
        close_quietly(proc.stdin)
        proc.wait()
        tracer.wait()
        self.wait_gone(child)

    def count_calls(self, first, data, calls):
        """How often the child makes each of calls in a whole installation; {} without strace."""
        t, _, _ = self.fresh_target(first)
        log = os.path.join(self.dir.name, "count")
        started = self.traced(t, ["-c", "-o", log, "-e", "trace=" + ",".join(calls)])
        if not started:
            print("\nstrace cannot attach: no kill points by system call", file=sys.stderr)
            return {}
        proc, tracer, _ = started
        proc.stdin.write(data)
        proc.stdin.close()
        proc.wait()
        tracer.wait()
        with open(log) as f:  # columns: % time, seconds, usecs/call, calls, [errors,] syscall
            return {w[-1]: int(w[3]) for w in map(str.split, f) if w and w[-1] in calls}

    def run_points(self, first, data, name="big", calls=True, points=POINTS):
        """Installs data over a target holding base and first, killed at each point."""
        outcomes = {"": 0, V1: 0, V2: 0}

        def check(t, base, old, kill):
            with self.subTest(kill=kill):
                outcomes[t.check(self, base, old, name)] += 1
            shutil.rmtree(t.path)

        # Offsets spread over the stream.
        for i in range(points):
            offset = 64 + (len(data) - 64) * i // points
            t, base, old = self.fresh_target(first)
            self.kill_at_offset(t, data, offset)
            check(t, base, old, "offset %d" % offset)
        # The calls that change the target, each killed at points spread over its count (the
        # last one included: the end of the transaction and what follows it).
        counts = self.count_calls(first, data, ["openat", "renameat", "unlinkat", "unlink",
                                                "write", "pwrite64"]) if calls and STRACE else {}
        for call, total in counts.items():
            share = max(1, points * total // sum(counts.values()))
            for i in range(share):
                n = total - (total - 1) * i // max(1, share - 1)
                t, base, old = self.fresh_target(first)
                self.kill_at_call(t, data, call, n)
                check(t, base, old, "%s #%d of %d" % (call, n, total))
        print("\n%s over %s: %d kill points, outcomes (%s's version: count) %s" %
              (name, first, sum(outcomes.values()), name, outcomes), file=sys.stderr)

    def test_fresh_install_killed(self):
        self.run_points(None, OLD)

    def test_upgrade_killed(self):
        self.run_points("old", NEW)

    def test_failed_upgrade_killed_while_undone(self):
        self.run_points("old", FORGED, points=POINTS // 2)

    def test_bundle_upgrade_killed(self):
        # Each member is a transaction of its own inside the bundle's.
        self.run_points("suite1", SUITE2, "suite", calls=False)

    def test_clean_under_valgrind(self):
        """The installation child's whole path under valgrind: a refused upgrade undone, an
        upgrade, a bundle and its upgrade, and the recovery of an installation killed midway."""
        if not VALGRIND:
            self.skipTest("valgrind runs on the plain build only")
        grind = [VALGRIND, "-q", "--error-exitcode=9", "--leak-check=full",
                 "--errors-for-leak-kinds=definite", KPK]
        t, base, old = self.fresh_target("old")
        a = self.archives
        p = subprocess.run(grind + ["install", "--root", t.path, a["forged"], a["new"],
                                    a["suite1"], a["suite2"]], capture_output=True, text=True)
        self.assertNotEqual(p.returncode, 9, p.stderr)
        self.assertIn("installation of big-2.0 failed", p.stdout)
        self.assertEqual(t.check(self, base, old), V2)
        self.assertEqual(t.check(self, base, old, "suite"), V2)
        self.kill_at_offset(t, SUITE1, len(SUITE1) // 2)  # a downgrade killed midway
        p = subprocess.run(grind + ["installed", "--root", t.path], capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(t.check(self, base, old, "suite"), V2)

    def test_forged_log_touches_nothing_owned(self):
        """A log planted in the database: recovery deletes no file of a complete record, none
        of the record itself, and follows no link out of the target."""
        t, base, _ = self.fresh_target(None)
        outside = os.path.join(self.dir.name, "outside")
        os.mkdir(outside)
        with open(os.path.join(outside, "victim"), "w") as f:
            f.write("keep")
        os.symlink(outside, os.path.join(t.path, "out"))
        os.symlink("/etc", os.path.join(t.path, "etc2"))
        lines = ["C /out/victim", "C /etc/base0", "C /etc2/base1", "C /var/pdb/base/version",
                 "M .kpk-replaced-1-1 /etc/base2", "M ../../outside/victim /etc/base3",
                 "R ../pdb", "R .", "C /out/victim\nC /etc/base4"]
        with open(os.path.join(t.path, "var/pdb/.kpk-journal-1"), "w") as f:
            f.write("kpk journal 1 open\n" + "\n".join(lines) + "\n")
        listing = t.kpk("installed", text=True)
        self.assertEqual(listing.stdout.split()[:2], ["base", "1.0"])
        with open(os.path.join(outside, "victim")) as f:
            self.assertEqual(f.read(), "keep")
        now = snapshot(t.path)
        for p, digest in base.items():
            self.assertEqual(now.get(p), digest, p)
        self.assertEqual(sorted(os.listdir(os.path.join(t.path, "var/pdb"))), ["base"])

    def test_full_disk(self):
        if os.geteuid() != 0 or not shutil.which("mkfs.ext2"):
            self.skipTest("needs root and mkfs.ext2 for a loop-mounted file system")
        image = os.path.join(self.dir.name, "disk.img")
        mnt = os.path.join(self.dir.name, "mnt")
        os.mkdir(mnt)
        with open(image, "wb") as f:
            f.truncate(4 << 20)
        subprocess.run(["mkfs.ext2", "-q", "-F", "-m", "0", "-N", "1024", image], check=True)
        if subprocess.run(["mount", "-o", "loop", image, mnt], capture_output=True).returncode:
            self.skipTest("no loop device")
        self.addCleanup(subprocess.run, ["umount", mnt])
        # The upgrade needs more room than is left; fill the disk by a different amount each time
        # so that the space runs out at different steps.
        outcomes = {"": 0, V1: 0, V2: 0}
        for fill in range(0, 2700, 450):
            t, base, old = self.fresh_target("old", where=mnt)
            with open(os.path.join(mnt, "filler"), "wb") as f:
                f.write(b"\0" * (fill * 1024))
            p = t.kpk("install", self.archives["new"], text=True)
            with self.subTest(fill=fill):
                if p.returncode != 0:
                    self.assertIn("ERROR: installation of big-2.0 failed: disk is too small",
                                  p.stdout)
                outcomes[t.check(self, base, old)] += 1
            os.unlink(os.path.join(mnt, "filler"))
            shutil.rmtree(t.path)
        print("\nfull disk: outcomes %s" % outcomes, file=sys.stderr)
        self.assertTrue(outcomes[V1] and outcomes[V2], "the space ran out never or always")


if __name__ == "__main__":
    unittest.main()
