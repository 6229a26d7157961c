#!/usr/bin/env python3
"""A lab of routers installed at once: N routers in network namespaces on one bridge, each
fetching the same files (a signed package and a configuration script, SIZE bytes in all) from
install-server with the installer's own network code (net_probe), at each frame loss given.
Prints, per loss: the time until the last router had all its files, the routers' own times
(minimum, median, maximum), the server's CPU seconds in all and per router, and a router's own
CPU seconds (mean); every router's files are checked by SHA-1.

usage (root): bench/lab_bench.py BUILD_DIR [--routers N] [--loss 0,5,20] [--size BYTES]
                                 [--block-size N] [--timeout S] [--markdown]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "lib"))
import lab  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--routers", type=int, default=50)
    ap.add_argument("--loss", default="0,5,20")
    ap.add_argument("--size", type=int, default=6 * 1000 * 1000)
    ap.add_argument("--block-size", type=int, default=None)
    ap.add_argument("--timeout", type=int, default=600)
    ap.add_argument("--markdown", action="store_true", help="a table row per loss")
    args = ap.parse_args()
    why = lab.missing_tools()
    if why:
        sys.exit("lab_bench: " + why)
    probe = os.path.join(args.build, "bin", "net_probe")
    server = os.path.join(args.build, "bin", "install-server")
    kpk = os.path.join(args.build, "bin", "kpk")
    lab.sweep_stale_labs()
    work = tempfile.mkdtemp(prefix="klab-bench-")
    rows = []
    try:
        served = os.path.join(work, "srv")
        expected = lab.make_served_dir(served, kpk, os.path.join(SOURCE, "trust", "development.key"),
                                       args.size)
        size = sum(os.path.getsize(os.path.join(served, n)) for n in expected)
        print(f"{args.routers} routers, {len(expected)} files of {size} bytes each, "
              f"block size {args.block_size or 'default'}", flush=True)
        failed = False
        for loss in [int(x) for x in args.loss.split(",")]:
            network = lab.Lab(args.routers)
            try:
                network.lose(loss)
                logs = os.path.join(work, f"loss{loss}")
                os.makedirs(logs)
                r = lab.run(network, server, probe, served, expected, logs,
                            block_size=args.block_size, timeout=args.timeout)
            finally:
                network.close()
            times = r["per_router"] or [0]
            ok = args.routers - len(r["failures"])
            row = (loss, r["total"], min(times), statistics.median(times), max(times),
                   r["server_cpu"], r["server_cpu"] / args.routers, r["routers_cpu"] / args.routers,
                   statistics.median(r["replies"] or [0]), ok)
            rows.append(row)
            print(f"loss {loss:2}%: last router done after {row[1]:.1f} s; per router "
                  f"{row[2]:.1f} / {row[3]:.1f} / {row[4]:.1f} s (min/median/max); server CPU "
                  f"{row[5]:.2f} s ({row[6] * 1000:.0f} ms per router); CPU per router {row[7]:.2f} s; "
                  f"replies per router {row[8]:.0f}; "
                  f"{ok}/{args.routers} routers byte-identical", flush=True)
            for i, text in sorted(r["failures"].items())[:3]:
                print(f"  router {i}: {text.strip()}")
            failed = failed or bool(r["failures"])
        if args.markdown:
            print("\n| Loss | Last router done | Per router, min / median / max | Server CPU "
                  "(per router) | CPU of one router | Replies per router | Byte-identical |")
            print("|---|---|---|---|---|---|---|")
            for r in rows:
                print(f"| {r[0]}% | {r[1]:.1f} s | {r[2]:.1f} / {r[3]:.1f} / {r[4]:.1f} s | "
                      f"{r[5]:.2f} s ({r[6] * 1000:.0f} ms) | {r[7]:.2f} s | {r[8]:.0f} | "
                      f"{r[9]}/{args.routers} |")
        sys.exit(1 if failed else 0)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
