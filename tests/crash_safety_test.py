#!/usr/bin/env python3
"""Crash safety of the target and its package database: `kpk install` is killed at many
points of an installation (fresh and upgrade), or runs out of space on a small file system,
and the next run must load a database whose records describe files that exist, leave no
file in the target that no record names, and find the target whole: every entry as before
the installation or every entry as after a complete one (an upgraded bundle all old or all
new, a refused archive not at all). A rerun of the same archive then brings the new state.

Kill points: SIGKILL to the whole process group once the installation child has consumed a
given offset of the archive stream, and (with strace) SIGKILL injected into the child at its
Nth call of one file-system system call. Failure points: ENOSPC or EIO injected into the
child at its Nth call; the run then either succeeds whole or says why not. CRASH_POINTS
scales the number of points."""
import contextlib
import hashlib
import os
import random
import re
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
import kpkenv  # noqa: E402
from kpkenv import KPK  # noqa: E402

POINTS = int(os.environ.get("CRASH_POINTS", "6"))
STRACE = shutil.which("strace")
# Set by the build for a plain build, where valgrind can run the package tool.
VALGRIND = shutil.which("valgrind") if os.environ.get("KEST_VALGRIND") == "1" else None


def signed_parts(name, ver, files, depends=(), conflicts=(), signed=True):
    parts = [k.part(k.PACKAGE_HEADER, k.header_record(name, ver, 1700000000))]
    parts += [k.part(t, k.ref_list(refs)) for t, refs in ((k.DEPENDS, depends),
                                                          (k.CONFLICTS, conflicts)) if refs]
    parts += [k.part(k.UNINSTALL_SCRIPT, b"true\n"),
              k.part(k.FILE_DATA, k.compress(b"".join(k.file_record(*f) for f in files), 1))]
    return kpkenv.signed(parts) if signed else parts


def package(name, ver, files, **kw):
    return k.archive(signed_parts(name, ver, files, **kw))


def filler(name, count, salt):
    """count files of incompressible content in etc/<name>/."""
    rng = random.Random(salt)
    return [("etc/%s/%d" % (name, i), 0o100644, rng.randbytes(800 + i * 37 % 1200))
            for i in range(count)]


def big_parts(ver, names, salt, name="big", signed=True):
    rng = random.Random(salt)
    files = [("usr/share/%s" % name, 0o40755), ("usr/lib/%s" % name, 0o120777, b"../share/" + name.encode())]
    for n in names:  # incompressible content, so that the stream is long
        files.append(("usr/share/%s/%s" % (name, n), 0o100644, rng.randbytes(1500 + n * 7 % 3000)))
    return signed_parts(name, ver, files, signed=signed)


def big(ver, names, salt, signed=True):
    return k.archive(big_parts(ver, names, salt, signed=signed))


def suite(ver, salt, unsigned=()):
    """A bundle of two members, both of them replaced by the next version; the members named
    in unsigned come without their signature part."""
    head = [k.part(k.BUNDLE_HEADER, k.header_record("suite", ver, 1700000000))]
    return k.archive(head + big_parts(ver, range(salt, salt + 80), salt, "one",
                                      "one" not in unsigned) +
                     big_parts(ver, range(salt, salt + 80), salt + 1, "two", "two" not in unsigned))


BASE = package("base", k.version(1, 0), [("etc/base%d" % i, 0o100644, b"base %d\n" % i)
                                         for i in range(20)])
OLD = big(k.version(1, 0), range(0, 300), 1)
NEW = big(k.version(2, 0), range(100, 420), 2)  # replaces 200 files, drops 100, adds 120
FORGED = NEW[:-1] + bytes([NEW[-1] ^ 1])  # fails at its very end: everything is undone
SUITE1, SUITE2 = suite(k.version(1, 0), 0), suite(k.version(2, 0), 40)
# Archives that carry no valid signature: written out and then found not genuine.
NEW_UNSIGNED = big(k.version(2, 0), range(100, 420), 2, signed=False)
SUITE2_HALF_UNSIGNED = suite(k.version(2, 0), 40, unsigned=("two",))
SUITE1_UNSIGNED = suite(k.version(1, 0), 0, unsigned=("one", "two"))
# Plans that change other packages: rival disables the installed peer; lib-2.0 takes the
# requirement of the installed app (lib 1.x), which is uninstalled with it.
PEER = package("peer", k.version(1, 0), filler("peer", 30, 5))
RIVAL = package("rival", k.version(1, 0), filler("rival", 60, 6), conflicts=[("peer",)])
LIB1 = package("lib", k.version(1, 0), filler("lib", 40, 7))
APP = package("app", k.version(1, 0), filler("app", 30, 8),
              depends=[("lib", k.version(1, 0), k.version(1, 255, chr(255), 255))])
LIB2 = package("lib", k.version(2, 0), filler("lib", 50, 9))
V1, V2 = "%d 1700000000" % k.version(1, 0), "%d 1700000000" % k.version(2, 0)
# The database before and after complete installations, as records() tells it.
ALONE, BIG1, BIG2 = "base 1.0", "base 1.0, big 1.0", "base 1.0, big 2.0"
SUITE_1, SUITE_2 = ("base 1.0, one %s in suite, suite %s, two %s in suite" % (v, v, v)
                    for v in ("1.0", "2.0"))
# The calls a kill or an injected failure lands on; the syncs mark the steps of a transaction.
TARGET_CALLS = ["openat", "renameat", "unlinkat", "unlink", "mkdir", "mkdirat", "write",
                "pwrite64", "fsync", "fdatasync"]
SYNCS = ("fsync", "fdatasync")


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


def tree(root):
    """The snapshot with the permissions of every file, and every directory: what two
    targets must share to be the same."""
    out = snapshot(root)
    for rel, what in out.items():
        if not what.startswith("-> "):
            out[rel] = "%o %s" % (os.lstat(os.path.join(root, rel)).st_mode, what)
    for top, dirs, _ in os.walk(root):
        for name in dirs:
            path = os.path.join(top, name)
            if not os.path.islink(path):
                out[os.path.relpath(path, root)] = "%o dir" % os.lstat(path).st_mode
    return out


def records(root):
    """The database at a glance: "name version[ disabled][ in bundle]" for every record."""
    def read(path):
        try:
            with open(path) as f:
                return f.read().split() or [""]
        except OSError:
            return None

    pdb = os.path.join(root, "var/pdb")
    out = []
    for name in sorted(os.listdir(pdb)) if os.path.isdir(pdb) else []:
        record = os.path.join(pdb, name)
        ver = (read(os.path.join(record, "version")) or ["?"])[0]
        text = "%s %s" % (name, "%d.%d" % (int(ver) >> 24, int(ver) >> 16 & 255)
                          if ver.isdigit() else ver)
        if read(os.path.join(record, "disabled")) is not None:
            text += " disabled"
        bundle = read(os.path.join(record, "bundle"))
        out.append(text + (" in " + bundle[0] if bundle else ""))
    return ", ".join(out)


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

    def whole(self, test, states):
        """The target equals one of states (name -> tree) in every entry: its name."""
        now = tree(self.path)
        for state, entries in states.items():
            if now == entries:
                return state
        # The nearest state, and how the target differs from it.
        name, entries = min(states.items(), key=lambda s: len(set(s[1].items()) ^ set(now.items())))
        differ = sorted(p for p in set(now) | set(entries) if now.get(p) != entries.get(p))
        test.fail("not %s: %s; %d entries differ from %s: %s" % (
            " nor ".join(states), records(self.path), len(differ), name, " ".join(differ[:6])))


class CrashSafety(unittest.TestCase):
    def setUp(self):
        # A memory file system where there is one: the many installations stay fast.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        self.dir = tempfile.TemporaryDirectory(dir=shm)
        self.addCleanup(self.dir.cleanup)
        self.archives = {}
        for name, data in (("base", BASE), ("old", OLD), ("new", NEW), ("suite1", SUITE1),
                           ("suite2", SUITE2), ("forged", FORGED), ("peer", PEER),
                           ("lib", LIB1), ("app", APP)):
            self.archives[name] = os.path.join(self.dir.name, name + ".kpk")
            with open(self.archives[name], "wb") as f:
                f.write(data)

    def fresh_target(self, first, where=None):
        """A target holding base and the archives first names (if any), with their entries."""
        t = Target(tempfile.mkdtemp(dir=where or self.dir.name))
        p = t.kpk("install", "--quiet", self.archives["base"],
                  *[self.archives[n] for n in (first or "").split()])
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        snap = snapshot(t.path)
        base = {p: d for p, d in snap.items() if p.startswith("etc/base")}
        old = {p: d for p, d in snap.items() if p.startswith("usr/") and first == "old"}
        return t, base, old

    def start(self, t, quiet=True):
        """kpk install reading the archive from a pipe; its messages are kept unless quiet."""
        return subprocess.Popen([KPK, "install", *(["--quiet"] if quiet else []), "--root",
                                 t.path, "-"], stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL if quiet else subprocess.PIPE,
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
        # Until the child has read what reached it and waits for more: every thread asleep and
        # nothing more read for a while (the parent keeps up to 64 KB in its buffer, so the
        # child may never see the whole offset).
        last, since = -1, time.time()
        while time.time() < deadline:
            try:
                with open("/proc/%d/io" % child) as f:
                    rchar = int(f.read().split("rchar: ")[1].split()[0])
                states = []
                for task in os.listdir("/proc/%d/task" % child):
                    with open("/proc/%d/task/%s/stat" % (child, task)) as f:
                        states.append(f.read().rsplit(")", 1)[1].split()[0])
            except (OSError, IndexError):
                break
            if rchar != last or set(states) != {"S"}:
                last, since = rchar, time.time()
            elif rchar >= offset - 8192 or time.time() - since > 0.02:
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

    def traced(self, t, strace_args, quiet=True):
        """Starts kpk install with strace attached to its child; (proc, tracer, child), or None
        when strace cannot attach (then the processes are gone again)."""
        proc = self.start(t, quiet)
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

    def fail_at_call(self, t, data, call, n, error):
        """error injected into the child's nth call of call: (exit status, output), or None
        when strace cannot attach."""
        started = self.traced(t, ["-o", "/dev/null", "-e", "trace=" + call, "-e",
                                  "inject=%s:error=%s:when=%d" % (call, error, n)], quiet=False)
        if not started:
            return None
        proc, tracer, child = started
        out, _ = proc.communicate(data)
        tracer.wait()
        self.wait_gone(child)
        return proc.returncode, out.decode(errors="replace")

    def complete_run(self, first, data, expect, trace=True, quiet=True):
        """Installs data over a target holding base and first, traced when trace (and strace
        can attach), and checks the records before and after against expect (a pair of
        records() texts; the same twice for an archive that must change nothing, and then
        nothing at all may change). Returns the states a killed installation may leave
        ({"old": tree, "new": tree}, only "old" for such an archive) and the child's calls
        that touch the target ({call: [numbers of its calls of that name]}; {} without
        strace)."""
        t, _, _ = self.fresh_target(first)
        states, before = {"old": tree(t.path)}, records(t.path)
        log = os.path.join(self.dir.name, "calls")
        started = trace and STRACE and self.traced(
            t, ["-o", log, "-e", "trace=" + ",".join(TARGET_CALLS)], quiet)
        counts = {}
        if started:
            proc, tracer, child = started
            proc.communicate(data)
            tracer.wait()
            self.wait_gone(child)
            status = proc.returncode
            seen = dict.fromkeys(TARGET_CALLS, 0)
            with open(log) as f:
                for call, fd in re.findall(r"^(\w+)\((\d*)", f.read(), re.M):
                    if call not in seen:
                        continue
                    seen[call] += 1
                    if not (call.startswith(("write", "pwrite")) and fd in ("1", "2")):
                        counts.setdefault(call, []).append(seen[call])  # not a message
        else:
            if trace and STRACE:
                print("\nstrace cannot attach: no points by system call", file=sys.stderr)
            status = t.kpk("install", "--quiet", "-", input=data).returncode
        listing = t.kpk("installed", text=True)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        old, new = states["old"], tree(t.path)
        refused = expect[0] == expect[1]
        if not refused:
            states["new"] = new
        with self.subTest(run="complete"):
            self.assertEqual(before, expect[0])
            self.assertEqual(records(t.path), expect[1], "after a complete run")
            changed = sorted(p for p in set(old) | set(new) if old.get(p) != new.get(p))
            self.assertTrue(not refused or not changed, "it changed " + " ".join(changed))
            self.assertEqual(status != 0, refused, "exit status %d" % status)
        shutil.rmtree(t.path)
        return states, counts

    @contextlib.contextmanager
    def point(self, tally, failed="failed", **label):
        """A subtest, counted in tally[failed] unless it passes."""
        passed = False
        with self.subTest(**label):
            yield
            passed = True
        tally[failed] += not passed

    @staticmethod
    def spread(counts, points):
        """(call, n, total): points over each call's numbers in proportion to their count (at
        least one; every sync, up to points: they mark the steps of a transaction), the last
        one included (the end of the transaction and what follows it)."""
        everything = sum(map(len, counts.values()))
        for call, numbers in sorted(counts.items()):
            total = len(numbers)
            share = min(total, points) if call in SYNCS else max(1, points * total // everything)
            for i in range(share):
                yield call, numbers[total - 1 - (total - 1) * i // max(1, share - 1)], total

    def run_points(self, first, data, name, expect, calls=True, points=POINTS, offsets=True,
                   rerun=False):
        """Installs data over a target holding base and first, killed at each point; the next
        run finds the target consistent and whole: as before, or as after a complete
        installation (see complete_run). rerun: installing data again then succeeds (a
        package already installed in its version is refused, a bundle installed again) and
        brings the complete installation's state."""
        states, counts = self.complete_run(first, data, expect, calls)
        bundle = data[8:10] == k.BUNDLE_HEADER.to_bytes(2, "little")
        tally = dict.fromkeys(["points", "failed", *states] + ["reruns failed"] * rerun, 0)

        def check(t, base, old, kill):
            tally["points"] += 1
            state = None
            with self.point(tally, kill=kill):
                t.check(self, base, old, name)
                state = t.whole(self, states)
                tally[state] += 1
            if rerun:  # also over what a failed check found: the rerun is the way out of it
                with self.point(tally, "reruns failed", kill=kill, then="rerun"):
                    p = t.kpk("install", "-", input=data)
                    if state != "new" or bundle:
                        self.assertEqual(p.returncode, 0, "rerun over the %s state: %s" %
                                         (state or "broken", p.stdout + p.stderr))
                    t.whole(self, {"new": states["new"]})
            shutil.rmtree(t.path)

        # Offsets spread over the stream.
        for i in range(points if offsets else 0):
            offset = 64 + (len(data) - 64) * i // points
            t, base, old = self.fresh_target(first)
            self.kill_at_offset(t, data, offset)
            check(t, base, old, "offset %d" % offset)
        # The calls that change the target, each killed at points spread over its count.
        for call, n, total in self.spread(counts, points):
            t, base, old = self.fresh_target(first)
            self.kill_at_call(t, data, call, n)
            check(t, base, old, "%s #%d of %d" % (call, n, total))
        print("\n%s over %s: kill points %s" % (name, first, tally), file=sys.stderr)

    def inject_points(self, first, data, name, expect, points=POINTS):
        """Installs data over a target holding base and first with one call of the child
        failing (ENOSPC, EIO at every third point): the run succeeds with the new state whole
        or prints an error, and the next run finds the target consistent and whole."""
        states, counts = self.complete_run(first, data, expect, quiet=False)
        tally = {"points": 0, "failed": 0, "exit 0": 0, "old": 0, "new": 0}
        for i, (call, n, total) in enumerate(self.spread(counts, points)):
            error = "EIO" if i % 3 == 2 else "ENOSPC"
            t, base, old = self.fresh_target(first)
            ran = self.fail_at_call(t, data, call, n, error)
            if not ran:
                continue
            tally["points"] += 1
            status, out = ran
            said = "exit status %d, %s" % (status, [l.split("\r")[-1] for l in out.split("\n")
                                                    if "ERROR: " in l] or "no error")
            with self.point(tally, fail="%s at %s #%d of %d" % (error, call, n, total)):
                try:
                    if status != 0:
                        self.assertIn("ERROR: ", out)
                    t.check(self, base, old, name)
                    state = t.whole(self, states)
                    tally[state] += 1
                    if status == 0:  # never a success that left the old version
                        tally["exit 0"] += 1
                        self.assertEqual(state, "new")
                except AssertionError as e:
                    raise AssertionError("%s (%s)" % (e, said)) from None
            shutil.rmtree(t.path)
        print("\n%s over %s: failure points %s" % (name, first, tally), file=sys.stderr)

    def test_fresh_install_killed(self):
        self.run_points(None, OLD, "big", (ALONE, BIG1), rerun=True)

    def test_upgrade_killed(self):
        self.run_points("old", NEW, "big", (BIG1, BIG2), rerun=True)

    def test_failed_upgrade_killed_while_undone(self):
        self.run_points("old", FORGED, "big", (BIG1, BIG1), points=POINTS // 2)

    def test_bundle_upgrade_killed(self):
        # Each member is a transaction of its own inside the bundle's: the members and the
        # bundle's record must still come back in one version, and a rerun must complete it.
        self.run_points("suite1", SUITE2, "suite", (SUITE_1, SUITE_2), rerun=True)

    def test_bundle_install_killed(self):
        # Nothing of the bundle, or all of it.
        self.run_points(None, SUITE1, "suite", (ALONE, SUITE_1), rerun=True)

    def test_unsigned_killed(self):
        """Archives that prove not genuine only at their end: a package over its older version
        and a bundle of unsigned members, killed or not, leave every entry as it was. A bundle
        upgrade whose second member is unsigned brings its genuine member, and the old version
        of the unsigned one, which the bundle still names, stays."""
        half = "base 1.0, one 2.0 in suite, suite 2.0, two 1.0 in suite"
        for first, data, name, expect in (("old", NEW_UNSIGNED, "big", (BIG1, BIG1)),
                                          ("suite1", SUITE2_HALF_UNSIGNED, "suite", (SUITE_1, half)),
                                          (None, SUITE1_UNSIGNED, "suite", (ALONE, ALONE))):
            self.run_points(first, data, name, expect, points=max(2, POINTS // 2))

    def test_plan_killed(self):
        """Installations whose plan changes other packages: rival disables the installed peer;
        lib-2.0 makes the installed app lose its requirement, and app is uninstalled."""
        self.run_points("peer", RIVAL, "rival",
                        ("base 1.0, peer 1.0", "base 1.0, peer 1.0 disabled, rival 1.0"),
                        offsets=False, rerun=True)
        self.run_points("lib app", LIB2, "lib", ("app 1.0, base 1.0, lib 1.0", "base 1.0, lib 2.0"),
                        offsets=False, rerun=True)

    def test_failures_injected(self):
        if not STRACE:
            self.skipTest("needs strace")
        self.inject_points("old", NEW, "big", (BIG1, BIG2))
        self.inject_points("suite1", SUITE2, "suite", (SUITE_1, SUITE_2))
        self.inject_points(None, SUITE1, "suite", (ALONE, SUITE_1), points=max(2, POINTS // 2))
        self.inject_points("lib app", LIB2, "lib", ("app 1.0, base 1.0, lib 1.0", "base 1.0, lib 2.0"),
                           points=max(2, POINTS // 2))

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
        """A log planted in the database, naming the very directories (device and inode) the
        entries are in: recovery deletes no file of a complete record, none of the record
        itself, and follows no link out of the target. A log that the manager cannot have made
        (another mode, or a second name) is deleted unread."""
        t, base, _ = self.fresh_target(None)
        outside = os.path.join(self.dir.name, "outside")
        os.mkdir(outside)
        with open(os.path.join(outside, "victim"), "w") as f:
            f.write("keep")
        os.symlink(outside, os.path.join(t.path, "out"))
        os.symlink("/etc", os.path.join(t.path, "etc2"))

        def ident(path):
            st = os.stat(path)
            return "%d:%d" % (st.st_dev, st.st_ino)

        etc, out = (ident(os.path.join(t.path, d)) for d in ("etc", "out"))
        lines = ["C %s /out/victim" % out, "C %s /etc/base0" % etc, "C %s /etc2/base1" % etc,
                 "C %s /var/pdb/base/version" % ident(os.path.join(t.path, "var/pdb/base")),
                 "D %s /etc" % ident(t.path), "M %s .kpk-replaced-1-1 /etc/base2" % etc,
                 "M %s ../../outside/victim /etc/base3" % etc, "R ../pdb", "R .",
                 "C %s /out/victim\nC %s /etc/base4" % (out, etc)]
        # Lines a log of the manager's own is obeyed for: they would take base away and
        # disable it. Only the logs that cannot be the manager's carry them.
        obeyed = ["R base", "S 1 1 base"]
        planted = os.path.join(t.path, "var/pdb/.kpk-journal-1")
        for mode, second_name in ((0o600, False), (0o644, False), (0o600, True)):
            with self.subTest(mode=oct(mode), second_name=second_name):
                made_here = mode == 0o600 and not second_name
                with open(planted, "w") as f:
                    f.write("kpk journal 2 open\n" +
                            "\n".join(lines + ([] if made_here else obeyed)) + "\n")
                os.chmod(planted, mode)
                if second_name:
                    os.link(planted, os.path.join(t.path, "elsewhere"))
                listing = t.kpk("installed", text=True)
                self.assertEqual(listing.stdout.split()[:3], ["base", "1.0", "enabled"])
                with open(os.path.join(outside, "victim")) as f:
                    self.assertEqual(f.read(), "keep")
                now = snapshot(t.path)
                for p, digest in base.items():
                    self.assertEqual(now.get(p), digest, p)
                self.assertEqual(sorted(os.listdir(os.path.join(t.path, "var/pdb"))), ["base"])
                self.assertFalse(os.path.exists(os.path.join(t.path, "var/pdb/base/disabled")))
                self.assertTrue(os.path.isdir(os.path.join(t.path, "etc")))
                if second_name:
                    os.unlink(os.path.join(t.path, "elsewhere"))

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
