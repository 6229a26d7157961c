"""A lab of routers in network namespaces: N routers, each with one card (a veth pair) on a
bridge that lives in a namespace of its own, and install-server in a third kind of namespace
with its own veth on the same bridge. Each router runs the installer's network code (net_probe)
and fetches everything the server hands out; frames are lost on purpose as they arrive on
the routers' cards and on the bridge's router ports, so each direction loses the given share.

Every packet stays inside these namespaces. Lab.close() deletes them all, and
sweep_stale_labs() those of earlier runs whose process is gone. Used by tests/lab_test.py and
bench/lab_bench.py; needs root, ip and nft."""
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import time

PREFIX = "klab"


def sh(*cmd, timeout=20, check=True, input=None):
    return subprocess.run(cmd, check=check, timeout=timeout, capture_output=True, text=True,
                          input=input)


def sweep_stale_labs():
    listing = sh("ip", "netns", "list", check=False).stdout
    for name, pid in re.findall(rf"^({PREFIX}-(\d+)-\w+)", listing, re.M):
        if not os.path.exists(f"/proc/{pid}"):
            sh("ip", "netns", "del", name, check=False)


def missing_tools():
    """What the lab needs and this machine lacks, as text; empty when it can run."""
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    missing = [t for t in ("ip", "nft") if not shutil.which(t)]
    if missing:
        return "missing: " + " ".join(missing)
    return ""


class Lab:
    def __init__(self, routers):
        tag = os.getpid()
        self.bridge = f"{PREFIX}-{tag}-b"
        self.server_ns = f"{PREFIX}-{tag}-s"
        self.routers = [f"{PREFIX}-{tag}-r{i}" for i in range(routers)]
        self.made = []
        try:
            for ns in [self.bridge, self.server_ns] + self.routers:
                sh("ip", "netns", "add", ns)
                self.made.append(ns)
            sh("ip", "-n", self.bridge, "link", "add", "br0", "type", "bridge", "forward_delay", "0")
            sh("ip", "link", "add", "s0", "netns", self.server_ns, "type", "veth", "peer", "name",
               "ps", "netns", self.bridge)
            ports = ["ps"]
            for i, ns in enumerate(self.routers):
                # The installer switches its card on itself.
                sh("ip", "link", "add", "r0", "netns", ns, "type", "veth", "peer", "name", f"p{i}",
                   "netns", self.bridge)
                ports.append(f"p{i}")
            batch = "".join(f"link set {p} master br0\nlink set {p} up\n" for p in ports)
            sh("ip", "-n", self.bridge, "-batch", "-", input=batch + "link set br0 up\n")
            sh("ip", "-n", self.server_ns, "link", "set", "s0", "up")
        except Exception:
            self.close()
            raise

    def lose(self, percent):
        """Drops percent of the frames in each direction between a router and the bridge: as
        they arrive on the router's card and on the bridge's port of the router (nftables on
        the netdev ingress hook; this kernel has no netem)."""
        if not percent:
            return

        def rules(cards):
            return "table netdev loss {\n" + "".join(
                f' chain {c} {{ type filter hook ingress device "{c}" priority 0; '
                f"numgen random mod 100 < {percent} counter drop; }}\n" for c in cards) + "}\n"

        for ns in self.routers:
            sh("ip", "netns", "exec", ns, "nft", "-f", "-", input=rules(["r0"]))
        sh("ip", "netns", "exec", self.bridge, "nft", "-f", "-",
           input=rules([f"p{i}" for i in range(len(self.routers))]))

    def dropped(self):
        """The frames dropped on purpose so far."""
        total = 0
        for ns in [self.bridge] + self.routers:
            text = sh("ip", "netns", "exec", ns, "nft", "list", "ruleset", check=False).stdout
            total += sum(int(n) for n in re.findall(r"counter packets (\d+)", text))
        return total

    def close(self):
        for ns in self.made:
            sh("ip", "netns", "del", ns, check=False)
        self.made = []


def make_served_dir(directory, kpk, key, size, seed=1):
    """A package of about size bytes less 256 KB of incompressible data, signed with key, and
    a configuration script of 256 KB. Returns {name: sha1 hex}."""
    rng = random.Random(seed)
    script = 256 * 1024
    build = tempfile.mkdtemp(prefix="klab-pkg-")
    try:
        os.makedirs(os.path.join(build, "tree", "opt"))
        with open(os.path.join(build, "tree", "opt", "payload"), "wb") as f:
            f.write(rng.randbytes(max(size - script, 0)))
        with open(os.path.join(build, "manifest"), "w") as f:
            f.write("name: system\nversion: 3.0\nfiles: tree\nmtime: 1700000000\n")
        os.makedirs(directory, exist_ok=True)
        unsigned = os.path.join(build, "system.kpk")
        sh(kpk, "build", os.path.join(build, "manifest"), "-o", unsigned, timeout=120)
        sh(kpk, "sign", unsigned, "-k", key, "-o", os.path.join(directory, "system.kpk"),
           timeout=120)
    finally:
        shutil.rmtree(build, ignore_errors=True)
    with open(os.path.join(directory, "site.scr"), "wb") as f:
        f.write(rng.randbytes(script))
    digests = {}
    for name in os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as f:
            digests[name] = hashlib.sha1(f.read()).hexdigest()
    return digests


def cpu_seconds(pid):
    """User and system seconds of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(lab, server, probe, served, expected, work, block_size=None, timeout=300):
    """Starts install-server on the lab's server and every router's probe at once and waits
    until each has ended or timeout seconds have passed. Returns a dict: total (seconds from
    the start of the first router to the end of the last), per_router (seconds each router's
    probe measured, start to TERM), replies (per router), server_cpu and routers_cpu (seconds,
    the routers' added up; the kernel's work on their frames is in neither), and failures (text per router that did not fetch every expected
    file with the expected digest)."""
    processes, logs = [], []
    server_log = open(os.path.join(work, "server.log"), "w")
    args = ["--block-size", str(block_size)] if block_size else []
    srv = subprocess.Popen(["ip", "netns", "exec", lab.server_ns, server, "--interface", "s0",
                            *args, served], stdin=subprocess.DEVNULL, stdout=server_log,
                           stderr=subprocess.STDOUT)
    result = {"failures": {}}
    try:
        time.sleep(0.5)
        if srv.poll() is not None:
            server_log.close()
            with open(os.path.join(work, "server.log")) as f:
                raise RuntimeError("install-server ended at once: " + f.read())
        started = time.monotonic()
        for i, ns in enumerate(lab.routers):
            log = open(os.path.join(work, f"router{i}.log"), "w+")
            logs.append(log)
            processes.append(subprocess.Popen(
                ["ip", "netns", "exec", ns, probe, "--digest", "--label", f"lab{i}", "-"],
                stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT))
        ended = [None] * len(processes)
        routers_cpu = 0.0
        while None in ended and time.monotonic() - started < timeout:
            for i, p in enumerate(processes):
                if ended[i] is not None:
                    continue
                # ip netns exec runs the probe in its own process: its usage is the probe's.
                pid, status, usage = os.wait4(p.pid, os.WNOHANG)
                if pid:
                    ended[i] = time.monotonic()
                    p.returncode = os.waitstatus_to_exitcode(status)
                    routers_cpu += usage.ru_utime + usage.ru_stime
            time.sleep(0.02)
        result["routers_cpu"] = routers_cpu
        result["total"] = max((e for e in ended if e), default=started) - started
        result["server_cpu"] = cpu_seconds(srv.pid)
        per_router, replies = [], []
        for i, (p, log) in enumerate(zip(processes, logs)):
            if p.returncode is None:
                p.kill()
                p.wait()
            log.seek(0)
            text = log.read()
            got = {m.group(1): m.group(2)
                   for m in re.finditer(r"^file (\S+) \d+ \d+ \d+ us sha1 ([0-9a-f]+)$", text, re.M)}
            total = re.search(r"^total (\d+) us, (\d+) replies$", text, re.M)
            if got != expected or not total or p.returncode != 0:
                result["failures"][i] = text[-400:] + f"\n(exit {p.returncode})"
            if total:
                per_router.append(int(total.group(1)) / 1e6)
                replies.append(int(total.group(2)))
        result["per_router"], result["replies"] = per_router, replies
    finally:
        for p in processes:
            if p.returncode is None and p.poll() is None:
                p.kill()
                p.wait()
            if p.stdin:
                p.stdin.close()
        for log in logs:
            log.close()
        if srv.poll() is None:
            srv.send_signal(signal.SIGINT)
            try:
                srv.wait(5)
            except subprocess.TimeoutExpired:
                srv.kill()
                srv.wait()
        server_log.close()
    return result
