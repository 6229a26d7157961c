#!/usr/bin/env python3
"""install-server as its operator meets it: signals, the log file, the terminal. The server
runs in a network namespace of its own, joined by a veth pair to a router's namespace where
net_probe (the installer's own network code) plays the router; every packet stays inside them,
every run is bounded in time, and the namespaces are deleted even when a test fails. Needs
root and ip; skips (77) without them."""
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

PROBE = os.environ.get("NET_PROBE", "")
SERVER = os.environ.get("INSTALL_SERVER", "")
KPK = os.environ.get("KPK", "")
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EMULATOR = os.environ.get("NET_EMULATOR", "").split()
TAG = f"{os.getpid()}"
DATED = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S")


def sh(*cmd, timeout=10, check=True):
    return subprocess.run(cmd, check=check, timeout=timeout, capture_output=True, text=True)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class OperatorTest(unittest.TestCase):
    def setUp(self):
        self.s, self.r = f"kest-os-{TAG}", f"kest-or-{TAG}"
        for ns in (self.s, self.r):
            sh("ip", "netns", "add", ns)
            self.addCleanup(sh, "ip", "netns", "del", ns, check=False)
        sh("ip", "link", "add", "s0", "netns", self.s, "type", "veth", "peer", "name", "r0",
           "netns", self.r)
        sh("ip", "-n", self.s, "link", "set", "s0", "up")
        self.dir = tempfile.mkdtemp(prefix="kest-op-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.srv = os.path.join(self.dir, "srv")
        os.mkdir(self.srv)
        self.processes = []
        self.addCleanup(self.kill_all)

    def kill_all(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait()

    def write(self, name, size):
        with open(os.path.join(self.srv, name), "wb") as f:
            f.write(os.urandom(size))

    def package(self, name, size):
        """DIR/name.kpk, signed with the development key, holding size random bytes; returns
        its size."""
        work = os.path.join(self.dir, "pkg-" + name)
        os.makedirs(os.path.join(work, "tree"))
        with open(os.path.join(work, "tree", name), "wb") as f:
            f.write(os.urandom(size))
        with open(os.path.join(work, "manifest"), "w") as f:
            f.write(f"name: {name}\nversion: 1.0\nfiles: tree\n")
        out = os.path.join(self.srv, name + ".kpk")
        sh(KPK, "build", os.path.join(work, "manifest"), "-o", work + "/unsigned")
        sh(KPK, "sign", work + "/unsigned", "-k", os.path.join(SOURCE, "trust", "development.key"),
           "-o", out)
        return os.path.getsize(out)

    def server(self, *args, stdout=subprocess.PIPE):
        p = subprocess.Popen(["ip", "netns", "exec", self.s, *EMULATOR, SERVER, "--interface", "s0",
                              *args, self.srv], stdin=subprocess.DEVNULL, stdout=stdout,
                             stderr=subprocess.STDOUT)
        self.processes.append(p)
        return p

    def route(self, name, timeout=20):
        """One router installs from the server; returns the names it fetched, as fetched
        byte for byte."""
        out = os.path.join(self.dir, name)
        os.mkdir(out)
        run = subprocess.run(["ip", "netns", "exec", self.r, *EMULATOR, PROBE, "--label", name, out],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=timeout)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        for f in os.listdir(out):
            with open(os.path.join(out, f), "rb") as a, open(os.path.join(self.srv, f), "rb") as b:
                self.assertEqual(a.read(), b.read(), f)
        return sorted(os.listdir(out))

    def stop(self, p, sig=signal.SIGTERM):
        """Ends the server with sig: it must exit 0 within a few seconds."""
        self.assertIsNone(p.poll(), "the server ended before it was told to")
        p.send_signal(sig)
        self.assertEqual(p.wait(timeout=5), 0)

    def test_reload_log_rotation_and_live_display(self):
        """On a terminal, with --log: a SIGHUP keeps the server running, reopens the log file
        that was moved away and serves a file added to DIR; SIGTERM ends it with 0. Every log
        line is dated, and the live lines are drawn at most four times a second."""
        one = self.package("one", 5000)
        log = os.path.join(self.dir, "server.log")
        master, slave = os.openpty()
        screen = []
        reader = threading.Thread(target=self.read_pty, args=(master, screen), daemon=True)
        reader.start()
        server = self.server("--block-size", "64", "--log", log, stdout=slave)
        os.close(slave)
        wait_for(lambda: "serving on s0" in read(log), 5, "the server to start")
        self.assertEqual(self.route("first"), ["one.kpk"])

        two = self.package("two", 700000)
        os.rename(log, log + ".1")
        server.send_signal(signal.SIGHUP)
        wait_for(lambda: "again: 2 files" in read(log), 5, "the reading after SIGHUP")
        self.assertIsNone(server.poll(), "SIGHUP ended the server")
        started = time.monotonic()
        self.assertEqual(self.route("second", timeout=30), ["one.kpk", "two.kpk"])
        elapsed = time.monotonic() - started
        self.stop(server)
        reader.join(5)

        old, new = read(log + ".1"), read(log)
        self.assertIn(f"finished: 1 files, {one} bytes", old)
        self.assertNotIn("SIGHUP", old)
        self.assertIn("SIGHUP: log file reopened", new)
        self.assertIn(f"finished: 2 files, {one + two} bytes", new)
        for line in (old + new).splitlines():
            self.assertRegex(line, DATED)
        text = b"".join(screen).decode(errors="replace")
        self.assertIn(f"finished: 2 files, {one + two} bytes", text)
        self.assertTrue(text.endswith("install-server: stopped\r\n"), text[-300:])
        # 700 kB in 64-byte replies keep the second router's live line changing for the
        # whole transfer.
        frames = text.count("second ")
        print(f"\nlive display: {frames} frames in {elapsed:.1f} s", file=sys.stderr)
        self.assertGreater(frames, 0, text[-2000:])
        self.assertLessEqual(frames, 4 * (elapsed + 1.5), f"{frames} frames in {elapsed:.1f} s")

    @staticmethod
    def read_pty(master, into):
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:
                break
            if not data:
                break
            into.append(data)
        os.close(master)

    def test_output_that_is_not_read_does_not_stop_the_routers(self):
        """A terminal whose reader never reads, a full pipe and a pipe without a reader: the
        start-up log alone (a thousand warnings) is more than either takes, and still a router
        is served, the idle server does not spin, and it ends at once on SIGINT. The shared
        output is left blocking, and what reached the pipe is whole lines."""
        self.package("site", 3000)
        for i in range(1000):
            open(os.path.join(self.srv, f"{i:04d}" + "n" * 200 + ".scr"), "w").close()
        for kind in ("terminal", "pipe", "closed-pipe"):
            with self.subTest(kind):
                if kind == "terminal":
                    reader, writer = os.openpty()
                else:
                    reader, writer = os.pipe()
                if kind == "closed-pipe":
                    os.close(reader)
                    reader = os.open(os.devnull, os.O_RDONLY)
                log = os.path.join(self.dir, kind + ".log")
                server = self.server("--log", log, stdout=writer)
                try:
                    wait_for(lambda: "serving on s0" in read(log), 5, "the server to start")
                    self.assertGreaterEqual(read(log).count("too long"), 1000)
                    self.assertEqual(self.route(kind, timeout=15), ["site.kpk"])
                    # An idle server waits: it does not spin on an output it cannot write.
                    before = self.cpu_seconds(server.pid)
                    time.sleep(1)
                    self.assertLess(self.cpu_seconds(server.pid) - before, 0.3)
                    started = time.monotonic()
                    self.stop(server, signal.SIGINT)
                    self.assertLess(time.monotonic() - started, 2)
                    self.assertFalse(fcntl.fcntl(writer, fcntl.F_GETFL) & os.O_NONBLOCK)
                    if kind == "pipe":
                        os.set_blocking(reader, False)
                        shown = b""
                        while True:
                            try:
                                chunk = os.read(reader, 65536)
                            except BlockingIOError:
                                break
                            if not chunk:
                                break
                            shown += chunk
                        lines = shown.decode().split("\n")
                        self.assertEqual(lines.pop(), "")
                        self.assertGreater(len(lines), 100)
                        for line in lines:
                            self.assertRegex(line, DATED)
                finally:
                    if server.poll() is None:
                        server.kill()
                        server.wait()
                    server.stdout and server.stdout.close()
                    os.close(reader)
                    os.close(writer)

    @staticmethod
    def cpu_seconds(pid):
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def test_start_up_refusals(self):
        """A DIR with nothing to install (a script alone), and a log file that cannot be
        opened, are refused with exit 1 before any card is opened; a driver package is enough
        for a driver server."""
        os.mkdir(os.path.join(self.srv, "drivers"))
        open(os.path.join(self.srv, "notes.txt"), "w").close()
        self.write("site.scr", 10)
        run = sh("ip", "netns", "exec", self.s, *EMULATOR, SERVER, "--interface", "s0", self.srv,
                 check=False)
        self.assertEqual(run.returncode, 1)
        self.assertRegex(run.stderr, "nothing to serve: .*no package archive")

        self.write("drivers/6.1.0.kpk", 100)
        run = sh("ip", "netns", "exec", self.s, *EMULATOR, SERVER, "--interface", "s0", "--log",
                 os.path.join(self.dir, "no", "such.log"), self.srv, check=False)
        self.assertEqual((run.returncode, run.stdout), (1, ""))
        self.assertIn("such.log: No such file or directory", run.stderr)

        server = self.server()
        time.sleep(0.5)
        self.stop(server)
        with server.stdout:
            self.assertIn("routers get their drivers, and no start", server.stdout.read().decode())


def can_run():
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    if not shutil.which("ip"):
        return "ip (iproute2) is not installed"
    if not (PROBE and SERVER and KPK):
        return "NET_PROBE, INSTALL_SERVER and KPK are not set"
    try:
        sh("ip", "netns", "add", f"kest-oc-{TAG}")
        sh("ip", "netns", "del", f"kest-oc-{TAG}")
    except Exception as e:
        return f"network namespaces unavailable: {e}"
    return None


if __name__ == "__main__":
    reason = can_run()
    if reason:
        print("SKIP:", reason)
        sys.exit(77)
    unittest.main(verbosity=2)
