"""Runs the installation media in a virtual PC (qemu-system-i386, software emulation) and
drives its serial console from a script, as a person at the console would: wait for a text,
type keys. Python's standard library only.

    with Machine(log="cd.log", cdrom="cdrom.iso", disks=["disk.img"]) as vm:
        vm.expect("Continue?", timeout=120)
        vm.send("y")
        vm.wait_exit(60)
"""
import os
import re
import shutil
import subprocess
import sys
import threading
import time

QEMU = "qemu-system-i386"
ANSI = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\[[0-9;?]*$")
KEYS = {"up": "\x1b[A", "down": "\x1b[B", "right": "\x1b[C", "left": "\x1b[D",
        "enter": "\r", "space": " "}


class VmError(Exception):
    pass


def words(text):
    """A pattern for text that the console may have wrapped: any run of blanks and line
    ends between two words."""
    return r"\s+".join(re.escape(w) for w in text.split())


# The end of the package menu's help text: the menu is drawn and reads keys.
MENU_READY = words("Press 'i' to install locally or 'q' to cancel and reboot.")


def qemu_missing():
    """Why this machine cannot run the tests' virtual PC, or None when it can."""
    if not shutil.which(QEMU):
        return QEMU + " is not installed (scripts/setup installs it)"
    return None


def plain(raw):
    """What a person reads: escape sequences gone, no carriage returns."""
    return ANSI.sub(b"", raw).replace(b"\r", b"").decode("latin-1")


class Machine:
    """One run of the virtual PC. Its serial line is the console; everything it prints goes
    to the log file (and to standard output when live is set)."""

    def __init__(self, log, kernel=None, initrd=None, append=None, cdrom=None, disks=(),
                 boot="c", tap=None, memory=256, live=False, netns=None):
        self.argv = [QEMU, "-M", "pc", "-smp", "2", "-m", str(memory), "-nodefaults", "-vga", "none",
                     "-display", "none", "-no-reboot", "-serial", "stdio"]
        if netns:
            self.argv = ["ip", "netns", "exec", netns] + self.argv
        for i, disk in enumerate(disks):
            self.argv += ["-drive", "file=%s,format=raw,if=ide,index=%d,media=disk" % (disk, i)]
        if cdrom:
            self.argv += ["-drive", "file=%s,format=raw,if=ide,index=2,media=cdrom,readonly=on"
                          % cdrom]
        if kernel:
            self.argv += ["-kernel", kernel, "-initrd", initrd, "-append", append or ""]
        self.argv += ["-boot", "order=" + boot]
        if tap:
            self.argv += ["-netdev", "tap,id=lan,ifname=%s,script=no,downscript=no" % tap,
                          "-device", "e1000,netdev=lan"]
        self.log_path = log
        self.live = live
        self.raw = bytearray()
        self.arrivals = []  # (offset in raw, monotonic time) per chunk read
        self.cursor = 0     # offset in plain(raw) up to which expect() has consumed
        self.lock = threading.Condition()
        self.proc = None
        self.started = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.log = open(self.log_path, "wb")
        self.log.write(b"# " + " ".join(self.argv).encode() + b"\n")
        self.started = time.monotonic()
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            with self.lock:
                if not chunk:
                    self.lock.notify_all()
                    return
                self.arrivals.append((len(self.raw), time.monotonic()))
                self.raw += chunk
                self.log.write(chunk)
                self.log.flush()
                if self.live:
                    sys.stdout.buffer.write(chunk)
                    sys.stdout.flush()
                self.lock.notify_all()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
        if self.proc:
            self.proc.wait()
            self.reader.join(5)
            self.proc.stdin.close()
            self.proc.stdout.close()
            self.log.close()

    def text(self):
        with self.lock:
            return plain(bytes(self.raw))

    def expect(self, pattern, timeout):
        """Waits until pattern (a regular expression) appears in the console text after what
        earlier calls consumed; returns the match. Fails with the end of the console text
        when the time runs out or the machine stops first."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                text = plain(bytes(self.raw))
                m = regex.search(text, self.cursor)
                if m:
                    self.cursor = m.end()
                    return m
                left = deadline - time.monotonic()
                exited = self.proc.poll() is not None and not self.reader.is_alive()
                if left <= 0 or exited:
                    why = "the virtual PC stopped" if exited else "%ds passed" % timeout
                    raise VmError("%s before %r appeared; console ends with:\n%s"
                                  % (why, pattern, text[-2500:]))
                self.lock.wait(min(left, 0.5))

    def send(self, keys):
        """Types keys: plain text, or a list of KEYS names and texts."""
        data = keys if isinstance(keys, str) else "".join(KEYS.get(k, k) for k in keys)
        self.proc.stdin.write(data.encode("latin-1"))
        self.proc.stdin.flush()

    def wait_exit(self, timeout):
        """Waits for the machine to stop by itself (the installer's reboot ends it)."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise VmError("the virtual PC did not stop within %ds; console ends with:\n%s"
                          % (timeout, self.text()[-2500:]))

    def time_of(self, pattern):
        """Seconds from the start of qemu until the console showed pattern (None if never)."""
        with self.lock:
            raw = bytes(self.raw)
            m = re.search(pattern.encode() if isinstance(pattern, str) else pattern, raw)
            if not m:
                return None
            when = [t for offset, t in self.arrivals if offset < m.end()][-1]
            return when - self.started
