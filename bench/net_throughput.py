#!/usr/bin/env python3
"""Throughput of the transfer protocol against TFTP on the same path in the same run: one
20 MB file over a veth pair between two network namespaces, fetched by the installer's own
network code (net_probe, from install-server), by tftp-hpa (512-byte blocks) and by BusyBox's
tftp client (1468- and 4076-byte blocks; tftp-hpa's client cannot ask for a block size), all
from tftpd-hpa; and the stop-and-wait bound, 4076 bytes per measured 4 KB round trip.

usage (root): bench/net_throughput.py BUILD_DIR [RUNS]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SIZE = 20 * 1000 * 1000


def sh(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=120, **kw)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    probe, server = f"{build}/bin/net_probe", f"{build}/bin/install-server"
    rtt_tool = f"{build}/bin/udp_round_trip"
    for tool in ("in.tftpd", "tftp", "busybox"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (scripts/setup installs it)")
    tag = os.getpid()
    inst, srv = f"kest-bi-{tag}", f"kest-bs-{tag}"
    work = tempfile.mkdtemp(prefix="kest-bench-")
    processes = []
    try:
        sh("ip", "netns", "add", inst)
        sh("ip", "netns", "add", srv)
        sh("ip", "link", "add", "i0", "netns", inst, "type", "veth", "peer", "name", "s0", "netns", srv)
        sh("ip", "-n", srv, "addr", "add", "10.77.0.1/24", "dev", "s0")
        sh("ip", "-n", inst, "addr", "add", "10.77.0.2/24", "dev", "i0")
        for ns, card in ((srv, "s0"), (inst, "i0"), (srv, "lo"), (inst, "lo")):
            sh("ip", "-n", ns, "link", "set", card, "up")
        served = os.path.join(work, "srv")
        os.makedirs(served)
        with open(os.path.join(served, "big.scr"), "wb") as f:
            f.write(os.urandom(SIZE))
        time.sleep(1)

        def start(ns, *cmd):
            p = subprocess.Popen(["ip", "netns", "exec", ns, *cmd], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            processes.append(p)
            return p

        start(srv, server, "--interface", "s0", served)
        start(srv, "in.tftpd", "-L", "-s", served, "-a", "10.77.0.1:69", "-B", "65464")
        start(srv, rtt_tool, "serve", "10.77.0.1")
        time.sleep(0.5)

        def ours():
            out = os.path.join(work, "ours")
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            text = sh("ip", "netns", "exec", inst, probe, out, stdin=subprocess.DEVNULL).stdout
            return int(re.search(r"file big.scr \d+ (\d+) (\d+) us", text).group(2)) / 1e6

        def tftp(block):
            out = os.path.join(work, f"tftp{block}")
            if block == 512:
                cmd = ["tftp", "10.77.0.1", "-m", "binary", "-c", "get", "big.scr", out]
            else:
                cmd = ["busybox", "tftp", "-g", "-b", str(block), "-r", "big.scr", "-l", out,
                       "10.77.0.1"]
            start_time = time.monotonic()
            sh("ip", "netns", "exec", inst, *cmd)
            elapsed = time.monotonic() - start_time
            if os.path.getsize(out) != SIZE:
                sys.exit(f"tftp {block}: short file")
            os.unlink(out)
            return elapsed

        results = {"ours (4076)": [], "tftp 512": [], "tftp 1468": [], "tftp 4076": []}
        for _ in range(runs):
            results["ours (4076)"].append(ours())
            for block in (512, 1468, 4076):
                results[f"tftp {block}"].append(tftp(block))
        same = subprocess.run(["cmp", os.path.join(served, "big.scr"),
                               os.path.join(work, "ours", "big.scr")]).returncode == 0
        rtt = int(sh("ip", "netns", "exec", inst, rtt_tool, "measure", "10.77.0.1", "5000").stdout)
        bound = SIZE / 4076 * rtt / 1e6
        best = {k: min(v) for k, v in results.items()}
        print(f"20 MB over a veth pair, best of {runs} runs (MB/s = 10^6 bytes/s):")
        for k, v in best.items():
            print(f"  {k:12} {v:6.3f} s  {SIZE / v / 1e6:7.1f} MB/s")
        print(f"  4 KB round trip (median) {rtt} us: stop-and-wait bound {bound:.3f} s, "
              f"{SIZE / bound / 1e6:.1f} MB/s")
        o = best["ours (4076)"]
        print(f"ours / tftp 512: {best['tftp 512'] / o:.1f}x (goal >= 5x)")
        print(f"ours / tftp 4076: {best['tftp 4076'] / o:.2f}x (goal >= 1)")
        print(f"ours / bound: {bound / o * 100:.0f}% (goal >= 80%)")
        print(f"file byte-identical: {same}")
    finally:
        for p in processes:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
        subprocess.run(["ip", "netns", "del", inst], capture_output=True)
        subprocess.run(["ip", "netns", "del", srv], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
