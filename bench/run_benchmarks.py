#!/usr/bin/env python3
"""Runs every benchmark of the project beside its peer and writes docs/performance.md.

Called by scripts/bench, which builds the programs and installs the peers first. Each figure
comes from repeated paired runs: in every round each command of a group runs once (the order
rotating from round to round), whole processes timed from outside, so that a drift of the
machine's speed hits all of them alike; the ratio is taken round by round and its median
reported. The machine may be shared: the load is recorded and printed beside the figures.

    run_benchmarks.py --build DIR --build32 DIR --work DIR --out FILE [--runs N] [--quick]
                      [--only GROUP,...] [--no-profile]
"""
import argparse
import datetime
import hashlib
import os
import platform
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GROUPS = ["install-tmpfs", "install-ext3", "read", "sha1", "verify", "profile", "network", "vm"]


def log(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def sh(command, **kw):
    """Runs a shell command for preparation (untimed); fails loudly."""
    r = subprocess.run(command, shell=True, **kw)
    if r.returncode != 0:
        raise SystemExit("bench: failed: %s" % command)
    return r


def out_of(command):
    r = subprocess.run(command, shell=True, capture_output=True, text=True)
    return (r.stdout + r.stderr).strip()


# ---------------------------------------------------------------------------------------------
# Timing

class Member:
    """One command of a paired group. cpus: None (any) or a set of processors."""

    def __init__(self, label, argv, cpus=None, stdout=None):
        self.label, self.argv, self.cpus, self.stdout = label, argv, cpus, stdout
        self.wall, self.cpu = [], []

    def text(self):
        prefix = "taskset -c %s " % ",".join(map(str, sorted(self.cpus))) if self.cpus else ""
        return prefix + " ".join(shlex.quote(a) for a in self.argv)


def timed_run(member):
    """Wall seconds and CPU seconds (user + system of the process and what it waited for)."""
    cpus = member.cpus
    out = open(member.stdout, "ab") if member.stdout else subprocess.DEVNULL

    def pin():
        if cpus:
            os.sched_setaffinity(0, cpus)

    start = time.monotonic()
    p = subprocess.Popen(member.argv, stdin=subprocess.DEVNULL, stdout=out,
                         stderr=subprocess.PIPE, preexec_fn=pin)
    err = p.stderr.read()
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if member.stdout:
        out.close()
    if p.returncode != 0:
        raise SystemExit("bench: '%s' failed (%d): %s" % (member.text(), p.returncode,
                                                          err.decode(errors="replace")[-500:]))
    return wall, usage.ru_utime + usage.ru_stime


def run_group(members, runs, prepare=None, check=None, warmup=1):
    """Rounds of every member in turn. prepare(member) runs untimed before each run;
    check(member) once after each member's first (warm-up) run."""
    for r in range(warmup + runs):
        order = members[r % len(members):] + members[:r % len(members)]
        for m in order:
            if prepare:
                prepare(m)
            wall, cpu = timed_run(m)
            if r < warmup:
                if check:
                    check(m)
                continue
            m.wall.append(wall)
            m.cpu.append(cpu)


def summary(values):
    return statistics.median(values), min(values), max(values)


def ratios(a, b):
    return [x / y for x, y in zip(a.wall, b.wall)]


# ---------------------------------------------------------------------------------------------
# Payloads

WORDS = ["interface ", "route ", "0x7f3a ", "static ", "\n", "eth0 ", "return ", "{ ", "} ",
         "packet ", "mtu 1500 ", "config "]


def synthetic_text(n, seed):
    rng = random.Random(seed)
    parts, size = [], 0
    while size < n:
        chunk = "".join(rng.choices(WORDS, k=4096)) + "".join(
            chr(32 + rng.randrange(90)) for _ in range(256))
        parts.append(chunk)
        size += len(chunk)
    return "".join(parts)[:n].encode()


def make_synthetic(tree):
    """2,000 small files (1 to 24 KB) in 40 directories and four of 8 MB: text that
    compresses about 3:1."""
    for i in range(2000):
        d = os.path.join(tree, "usr/lib/d%d" % (i % 40))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%d" % i), "wb") as f:
            f.write(synthetic_text(1024 + i * 7919 % (23 * 1024), i))
    for i in range(4):
        with open(os.path.join(tree, "usr/lib/big%d" % i), "wb") as f:
            f.write(synthetic_text(8 << 20, 10000 + i))


def copy_budget(sources, tree, budget, max_file, only_libraries=False):
    """Copies files of the sources (sorted walk) into tree under their own paths until budget
    bytes are taken; symbolic links inside the trees are kept as links."""
    taken = 0
    for source in sources:
        if not os.path.isdir(source):
            continue
        for root, dirs, files in os.walk(source):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                if only_libraries and ".so" not in name:
                    continue
                dest = os.path.join(tree, path.lstrip("/"))
                if os.path.islink(path):
                    if only_libraries:
                        continue
                    os.makedirs(os.path.dirname(dest), exist_ok=True)
                    os.symlink(os.readlink(path), dest)
                    continue
                if not os.path.isfile(path):
                    continue
                size = os.path.getsize(path)
                if size > max_file or taken + size > budget:
                    continue
                os.makedirs(os.path.dirname(dest), exist_ok=True)
                shutil.copyfile(path, dest)
                os.chmod(dest, os.stat(path).st_mode & 0o7777)
                taken += size
            if only_libraries:
                dirs[:] = []  # the top directory's libraries only
    return taken


def make_real(tree):
    """Real files of this machine: shared libraries, C and C++ headers, Perl modules."""
    lib = "/usr/lib/" + (out_of("gcc -print-multiarch") or "x86_64-linux-gnu")
    copy_budget([lib], tree, 45 << 20, 6 << 20, only_libraries=True)
    copy_budget(["/usr/include"], tree, 28 << 20, 4 << 20)
    copy_budget(["/usr/share/perl", "/usr/share/perl5", lib + "/perl-base", lib + "/perl5"],
                tree, 12 << 20, 4 << 20)


def tree_stats(tree):
    files = size = 0
    for root, dirs, names in os.walk(tree):
        for n in names:
            p = os.path.join(root, n)
            files += 1
            if not os.path.islink(p):
                size += os.path.getsize(p)
    return files, size


class Payload:
    def __init__(self, name, work, kpk, kpk_read, maker, description):
        self.name = name
        self.dir = os.path.join(work, "payload-" + name)
        self.tree = os.path.join(self.dir, "tree")
        self.description = description
        stamp = os.path.join(self.dir, "ready")
        if not os.path.exists(stamp):
            log("making the %s payload" % name)
            shutil.rmtree(self.dir, ignore_errors=True)
            os.makedirs(self.tree)
            maker(self.tree)
            self.pack(kpk, kpk_read)
            open(stamp, "w").close()
        self.files, self.size = tree_stats(self.tree)
        self.sizes = {k: os.path.getsize(self.path(k)) for k in ("kpk", "tgz", "deb", "tar")}

    def path(self, kind):
        return os.path.join(self.dir, {"kpk": "payload.kpk", "tgz": "payload.tar.gz",
                                       "deb": "payload.deb", "tar": "payload.tar",
                                       "records": "records.gz"}[kind])

    def pack(self, kpk, kpk_read):
        d = self.dir
        with open(os.path.join(d, "manifest"), "w") as f:
            f.write("name: payload\nversion: 1.0\nfiles: tree\ncompression: 6\n")
        key = os.path.join(TOP, "trust/development.key")
        sh("%s build %s/manifest -o %s/unsigned.kpk" % (kpk, d, d))
        sh("%s sign %s/unsigned.kpk -k %s -o %s" % (kpk, d, key, self.path("kpk")))
        os.unlink(os.path.join(d, "unsigned.kpk"))
        # The peers get the same tree at the same zlib/gzip level (6).
        sh("tar -C %s -cf %s ." % (self.tree, self.path("tar")))
        sh("gzip -6 -c %s > %s" % (self.path("tar"), self.path("tgz")))
        deb = os.path.join(d, "deb")
        sh("cp -a %s %s && mkdir -p %s/DEBIAN" % (self.tree, deb, deb))
        with open(os.path.join(deb, "DEBIAN/control"), "w") as f:
            f.write("Package: payload\nVersion: 1.0\nArchitecture: all\n"
                    "Maintainer: bench <bench@localhost>\nDescription: benchmark payload\n")
        sh("dpkg-deb --root-owner-group -Zgzip -z6 --build %s %s >/dev/null" % (deb, self.path("deb")))
        shutil.rmtree(deb)
        # The same decompressed bytes the installer inflates, for zcat.
        sh("%s --dump %s | gzip -6 > %s" % (kpk_read, self.path("kpk"), self.path("records")))


def same_tree(payload, target):
    """Every file, link and directory of the payload is in target with the same content."""
    for root, dirs, names in os.walk(payload.tree):
        rel = os.path.relpath(root, payload.tree)
        for n in dirs + names:
            src = os.path.join(root, n)
            dst = os.path.normpath(os.path.join(target, rel, n))
            if os.path.islink(src):
                if not os.path.islink(dst) or os.readlink(dst) != os.readlink(src):
                    return "link " + dst
            elif os.path.isdir(src):
                if not os.path.isdir(dst) or os.path.islink(dst):
                    return "directory " + dst
            else:
                if os.path.islink(dst) or not os.path.isfile(dst):
                    return "file " + dst
                with open(src, "rb") as a, open(dst, "rb") as b:
                    if hashlib.sha1(a.read()).digest() != hashlib.sha1(b.read()).digest():
                        return "content of " + dst
    return None


# ---------------------------------------------------------------------------------------------
# Benchmarks

class Results:
    def __init__(self):
        self.sections = []   # (title, markdown)
        self.goals = []      # (goal text, figure text, verdict)

    def add(self, title, text):
        self.sections.append((title, text))

    def goal(self, text, figure, met, by=""):
        self.goals.append((text, figure, ("met" if met else "**missed**") + (" " + by if by else "")))


def fmt_s(values):
    m, lo, hi = summary(values)
    return "%.3f s (%.3f-%.3f)" % (m, lo, hi)


def fmt_ratio(values):
    m, lo, hi = summary(values)
    return "**%.2f** (%.2f-%.2f)" % (m, lo, hi)


def group_table(members, base=0, note_cpu=True):
    """Markdown rows: each member's median and spread, CPU seconds, and its ratio to the base
    member (the base's time over the member's: below 1 means the base is faster)."""
    rows = ["| Command | Wall, median (min-max) | CPU s, median | %s / this, per round |" %
            members[base].label,
            "|---|---|---|---|"]
    for i, m in enumerate(members):
        ratio = "-" if i == base else fmt_ratio(ratios(members[base], m))
        rows.append("| `%s` | %s | %.3f | %s |" % (m.text(), fmt_s(m.wall), statistics.median(m.cpu),
                                                  ratio))
    return "\n".join(rows)


def install_groups(args, results, payloads, fs, target, kpk):
    pinned = {args.pin_cpu}
    text = []
    for payload in payloads:
        for cores, cpus in (("two cores", None), ("one core", pinned)):
            members = [
                Member("kpk", [kpk, "install", "--root", target, "--quiet", payload.path("kpk")], cpus),
                Member("tar", ["tar", "-xzf", payload.path("tgz"), "-C", target], cpus),
                Member("dpkg-deb", ["dpkg-deb", "-x", payload.path("deb"), target], cpus),
            ]
            if fs == "ext3":
                # Our installation ends with sync (the package is on the disk when it says so);
                # the peers do not. The same peers followed by sync show what that costs.
                members.append(Member("tar+sync", ["sh", "-c", 'tar -xzf "$0" -C "$1" && sync',
                                                   payload.path("tgz"), target], cpus))
                members.append(Member("dpkg-deb+sync", ["sh", "-c", 'dpkg-deb -x "$0" "$1" && sync',
                                                        payload.path("deb"), target], cpus))

            def prepare(m):
                sh("find %s -mindepth 1 -delete && sync" % shlex.quote(target))

            def check(m):
                bad = same_tree(payload, target)
                if bad:
                    raise SystemExit("bench: %s left a wrong tree: %s" % (m.label, bad))

            log("install, %s payload, %s, %s: %d rounds" % (payload.name, fs, cores, args.runs))
            run_group(members, args.runs, prepare, check)
            kpk_m, tar_m, deb_m = members[:3]
            text.append("**%s payload, %s, %s**\n\n%s\n" % (payload.name, fs, cores,
                                                           group_table(members)))
            if payload.name == "real":
                r_tar = statistics.median(ratios(kpk_m, tar_m))
                r_deb = statistics.median(ratios(kpk_m, deb_m))
                if cores == "two cores":
                    results.goal("install <= 0.75 x `tar -xzf` (%s, %s)" % (fs, cores),
                                 "%.2f" % r_tar, r_tar <= 0.75, over(r_tar, 0.75))
                results.goal("install <= 1.0 x `dpkg-deb -x` (%s, %s)" % (fs, cores),
                             "%.2f" % r_deb, r_deb <= 1.0, over(r_deb, 1.0))
    results.add("Install onto %s" % fs, "\n".join(text))


def over(value, limit):
    return "(by %.0f%%)" % (100 * (value / limit - 1)) if value > limit else ""


def bench_install(args, results, payloads, kpk):
    if "install-tmpfs" in args.only:
        target = os.path.join(args.work, "target")
        os.makedirs(target, exist_ok=True)
        install_groups(args, results, payloads, "tmpfs", target, kpk)
    if "install-ext3" in args.only:
        if os.geteuid() != 0 or not shutil.which("losetup"):
            results.add("Install onto ext3", "Not measured: needs root and loop devices.")
            return
        image = os.path.join(args.work, "ext3.img")
        mnt = os.path.join(args.work, "ext3")
        os.makedirs(mnt, exist_ok=True)
        sh("truncate -s 640M %s && mke2fs -q -F -t ext3 %s" % (image, image))
        sh("mount -o loop %s %s" % (image, mnt))
        try:
            install_groups(args, results, payloads, "ext3", mnt, kpk)
        finally:
            sh("umount %s" % mnt)
            os.unlink(image)


def bench_read(args, results, payloads, kpk_read):
    text = []
    for payload in payloads:
        members = [Member("kpk_read", [kpk_read, payload.path("kpk")]),
                   Member("zcat", ["zcat", payload.path("records")])]
        log("read path, %s payload: %d rounds" % (payload.name, args.runs))
        run_group(members, args.runs)
        text.append("**%s payload** (%.1f MB of file records)\n\n%s\n" % (
            payload.name, records_size(payload) / 1e6, group_table(members)))
    results.add("Read path: part reader + SHA-1 + inflate, against zcat", "\n".join(text))


def records_size(payload):
    out = out_of("gzip -l %s | tail -1" % payload.path("records")).split()
    return int(out[1]) if len(out) > 1 and out[1].isdigit() else 0


def runner_32(program):
    """How a 32-bit program runs here: [] natively, ["qemu-i386"] (or [] through binfmt_misc,
    as scripts/setup arranges) under qemu's user-mode emulation where this kernel runs no
    32-bit code, or None. The second value says whether it is emulated."""
    if not program or not os.path.exists(program):
        return None, False
    binfmt = "/proc/sys/fs/binfmt_misc/qemu-i386"
    emulated = os.path.exists(binfmt) and open(binfmt).read().startswith("enabled")
    try:
        subprocess.run([program], capture_output=True)
        return [], emulated
    except OSError:
        return (["qemu-i386"], True) if shutil.which("qemu-i386") else (None, False)


def bench_sha1(args, results, payload, sha1_64, sha1_32):
    data = payload.path("tar")
    expected = out_of("sha1sum %s" % data).split()[0]
    members = [Member("sha1_file", [sha1_64, data]), Member("sha1sum", ["sha1sum", data]),
               Member("sha1_file --portable", [sha1_64, "--portable", data])]
    run32, emulated32 = runner_32(sha1_32)
    if run32 is not None and not emulated32:
        members += [Member("32-bit sha1_file", [sha1_32, data]),
                    Member("32-bit sha1_file --portable", [sha1_32, "--portable", data])]
    checks = [m.argv for m in members]
    if run32 is not None and emulated32:  # its digests are checked, its time says nothing
        checks += [run32 + [sha1_32, data], run32 + [sha1_32, "--portable", data]]
    for argv in checks:
        got = out_of(" ".join(shlex.quote(a) for a in argv)).split()[0]
        if got != expected:
            raise SystemExit("bench: %s gives %s, sha1sum %s" % (" ".join(argv), got, expected))
    log("SHA-1: %d rounds" % args.runs)
    run_group(members, args.runs)
    hw = out_of("grep -m1 -ow sha_ni /proc/cpuinfo") == "sha_ni"
    text = ("The uncompressed tar of the real payload (%.1f MB), hashed by whole processes that "
            "read it from tmpfs; every command prints the same digest (checked). This CPU %s the "
            "SHA instructions.\n\n%s\n" % (payload.sizes["tar"] / 1e6,
                                           "has" if hw else "lacks", group_table(members, base=1)))
    if run32 is not None and emulated32:
        text += ("\nThis kernel runs no 32-bit programs: the 32-bit build's digests (both "
                 "compressions) were checked under qemu's user-mode emulation, which has no SHA "
                 "instructions, and its speed cannot be measured here.\n")
    elif run32 is None:
        text += "\nThe 32-bit build could not be run here.\n"
    results.add("SHA-1 against sha1sum", text)
    speed = statistics.median(ratios(members[1], members[0]))  # sha1sum time / ours
    results.goal("SHA-1 >= 0.9 x `sha1sum` (speed)", "%.2f" % speed, speed >= 0.9,
                 "(by %.0f%%)" % (100 * (1 - speed / 0.9)) if speed < 0.9 else "")


VERIFY_LINE = re.compile(r"^signature verification \(one package\)\s+([\d.]+) us")
OPENSSL_LINE = re.compile(r"^openssl speed ecdhx25519, same run\s+([\d.]+) us\s+\((.*)\)")


def bench_verify(args, results, verify_64, verify_32):
    runs = max(3, args.runs // 2)
    ours, theirs, ratio, ours32 = [], [], [], []
    run32, emulated32 = runner_32(verify_32)
    version = ""
    log("verification: %d runs" % runs)
    for _ in range(runs):
        text = out_of(verify_64)
        v = [float(m.group(1)) for m in map(VERIFY_LINE.match, text.splitlines()) if m]
        o = [m for m in map(OPENSSL_LINE.match, text.splitlines()) if m]
        if not v or not o:
            raise SystemExit("bench: verify_bench printed:\n" + text)
        ours.append(v[0])
        theirs.append(float(o[0].group(1)))
        version = o[0].group(2)
        ratio.append(v[0] / float(o[0].group(1)))
        if run32 is not None:
            t32 = out_of(" ".join(run32 + [verify_32, "--no-openssl"]))
            v32 = [float(m.group(1)) for m in map(VERIFY_LINE.match, t32.splitlines()) if m]
            if not v32:
                raise SystemExit("bench: 32-bit verify_bench printed:\n" + t32)
            ours32.append(v32[0])
    rows = ["| Figure | Median (min-max) |", "|---|---|",
            "| one verification, 64-bit | %.1f us (%.1f-%.1f) |" % summary(ours),
            "| one X25519, `openssl speed ecdhx25519` (%s) | %.1f us (%.1f-%.1f) |" % ((version,) + summary(theirs)),
            "| verification / X25519, per run | **%.2f** (%.2f-%.2f) |" % summary(ratio)]
    if ours32:
        how = "" if not emulated32 else (", under qemu's user-mode emulation (this kernel "
                                         "runs no 32-bit programs): an upper bound of the "
                                         "native time")
        rows.append("| one verification, 32-bit build%s | %.1f us (%.1f-%.1f) |" % ((how,) + summary(ours32)))
    results.add("Signature verification against OpenSSL X25519",
                "`verify_bench` times one package's signature check (digest compare, two "
                "signature hashes, x(v·P + h·G), encoding) as the fastest of many batches, "
                "and `openssl speed -seconds 1 ecdhx25519` in the same run, three rounds "
                "each; %d runs.\n\n%s\n" % (runs, "\n".join(rows)))
    r = statistics.median(ratio)
    results.goal("one verification <= 1.5 x one OpenSSL X25519", "%.2f" % r, r <= 1.5, over(r, 1.5))
    if ours32:
        m = statistics.median(ours32)
        results.goal("one verification, 32-bit build, < 1 ms", "%.0f us%s" % (
            m, " (emulated)" if emulated32 else ""), m < 1000)


def perf_profile(prof, kpk, target, payload):
    """Samples of the CPU clock over a whole kpk install (parent and child), by shared object
    and by function; the addresses inside a stripped library are summed as its internals."""
    data = os.path.join(prof, "perf.data")
    sh("find %s -mindepth 1 -delete" % target)
    r = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-F", "4000", "-o", data, "--",
                        kpk, "install", "--root", target, "--quiet", payload.path("kpk")],
                       capture_output=True, text=True)
    if r.returncode != 0:
        return ["", "perf record failed here: %s" % r.stderr.strip()[-300:]]
    by_dso = out_of("perf report -i %s --stdio --no-children --sort dso 2>/dev/null" % data)
    by_sym = out_of("perf report -i %s --stdio --no-children --sort dso,sym 2>/dev/null" % data)
    text = ["", "CPU-clock samples of the whole `kpk install` (parent and child; `perf record -e "
            "cpu-clock`, real payload, tmpfs), by shared object:", "",
            "| Share | Object |", "|---|---|"]
    for line in by_dso.splitlines():
        m = re.match(r"^\s*([\d.]+)%\s+(\S+)", line)
        if m and float(m.group(1)) >= 0.5:
            text.append("| %s%% | %s |" % (m.group(1), m.group(2)))
    merged = {}
    for line in by_sym.splitlines():
        m = re.match(r"^\s*([\d.]+)%\s+(\S+)\s+\[.\]\s+(.*)$", line)
        if not m:
            continue
        name = m.group(3).strip()
        if name.startswith("0x"):
            name = "(internal functions of %s)" % m.group(2)
        key = (m.group(2), name)
        merged[key] = merged.get(key, 0.0) + float(m.group(1))
    text += ["", "and by function (the 15 largest):", "", "| Share | Object | Function |",
             "|---|---|---|"]
    for (dso, name), share in sorted(merged.items(), key=lambda kv: -kv[1])[:15]:
        text.append("| %.1f%% | %s | `%s` |" % (share, dso, name[:100]))
    return text


def bench_profile(args, results, payload, kpk):
    """Where an installation spends its time: perf's CPU-clock samples (where perf works),
    callgrind's instruction counts of the child, and the system calls by strace -c."""
    target = os.path.join(args.work, "target")
    os.makedirs(target, exist_ok=True)
    prof = os.path.join(args.work, "profile")
    shutil.rmtree(prof, ignore_errors=True)
    os.makedirs(prof)
    text = []
    if shutil.which("perf"):
        log("profile: perf record over kpk install")
        text += perf_profile(prof, kpk, target, payload)
    if shutil.which("valgrind"):
        sh("find %s -mindepth 1 -delete" % target)
        log("profile: callgrind over kpk install (slow)")
        sh("valgrind --tool=callgrind --callgrind-out-file=%s/callgrind.%%p %s install --root %s "
           "--quiet %s >/dev/null 2>%s/valgrind.log" % (prof, kpk, target, payload.path("kpk"), prof))
        outs = sorted((os.path.getsize(os.path.join(prof, f)), f) for f in os.listdir(prof)
                      if f.startswith("callgrind."))
        child = os.path.join(prof, outs[-1][1])  # the child's profile is the big one
        annotate = out_of("callgrind_annotate --auto=no --threshold=99 %s" % child)
        total, top = "", []
        for line in annotate.splitlines():
            m = re.match(r"^\s*([\d,]+) \(\s*([\d.]+)%\)\s+(\S.*)$", line)
            if not m:
                continue
            if "PROGRAM TOTALS" in line:
                total = m.group(1)
            elif len(top) < 12:
                name = re.sub(r"^\S*/", "", m.group(3))
                top.append("| %s | %s%% | `%s` |" % (m.group(1), m.group(2), name[:100]))
        text += ["", "Instructions of the installation child alone (callgrind), %s in total, by "
                 "function. Valgrind hides the SHA instructions from the program, so SHA-1 runs "
                 "the portable code here and its share is far above what it costs on this "
                 "CPU (see the CPU-clock samples above):" % total, "",
                 "| Instructions | Share | Function |", "|---|---|---|"] + top
    if shutil.which("strace"):
        sh("find %s -mindepth 1 -delete" % target)
        log("profile: strace -c -f over kpk install")
        sc = out_of("strace -f -c -o %s/strace.txt %s install --root %s --quiet %s >/dev/null; "
                    "cat %s/strace.txt" % (prof, kpk, target, payload.path("kpk"), prof))
        rows = []
        for line in sc.splitlines():
            f = line.split()
            if len(f) >= 5 and re.match(r"^[\d.]+$", f[0]) and f[-1] != "total":
                rows.append((int(f[3]), f[-1]))
        rows.sort(reverse=True)
        text += ["", "System calls of the whole `kpk install` (parent and child, `strace -f -c`) "
                 "for the %d entries of the payload:\n" % payload.files,
                 "| Calls | System call |", "|---|---|"]
        text += ["| %d | %s |" % r for r in rows[:14]]
    if not text:
        text = ["Not taken: neither perf, valgrind nor strace is installed."]
    results.add("Profile of an installation", "\n".join(text).strip())


def bench_network(args, results):
    """bench/net_throughput.py (the network installation's own benchmark): 20 MB over a veth
    pair between two namespaces, against TFTP, and the stop-and-wait bound."""
    title = "Network transfer against TFTP"
    goals = ["network >= 5 x TFTP with 512-byte blocks",
             "network no slower than TFTP with 4076-byte blocks",
             "network >= 80% of the stop-and-wait bound"]
    tools = [os.path.join(args.build, "bin", t) for t in ("net_probe", "install-server", "udp_round_trip")]
    missing = [t for t in tools if not os.path.exists(t)]
    if os.geteuid() != 0 or not shutil.which("ip") or missing:
        placeholder(results, title, "it needs root, iproute2 and %s" % (", ".join(missing) or
                    "the programs"), goals)
        return
    runs = max(3, args.runs // 3)
    log("network: %d runs of bench/net_throughput.py" % runs)
    r = subprocess.run([sys.executable, os.path.join(TOP, "bench/net_throughput.py"), args.build,
                        str(runs)], capture_output=True, text=True)
    if r.returncode != 0:
        placeholder(results, title, "bench/net_throughput.py failed here: %s" %
                    (r.stderr.strip().splitlines() or ["?"])[-1], goals)
        return
    text = r.stdout
    found = {}
    for key, pattern in (("512", r"ours / tftp 512: ([\d.]+)x"), ("4076", r"ours / tftp 4076: ([\d.]+)x"),
                         ("bound", r"ours / bound: (\d+)%")):
        m = re.search(pattern, text)
        found[key] = float(m.group(1)) if m else None
    checks = [(goals[0], found["512"], lambda v: v >= 5, "%.1f x"),
              (goals[1], found["4076"], lambda v: v >= 1.0, "%.2f x"),
              (goals[2], found["bound"], lambda v: v >= 80, "%.0f%%")]
    for goal, value, ok, form in checks:
        if value is None:
            results.goals.append((goal, "-", "not found in the output"))
        else:
            results.goal(goal, form % value, ok(value))
    results.add(title, "`python3 bench/net_throughput.py build-bench %d` (as root): the installer's "
                "own transfer code (net_probe) against tftpd-hpa, read by tftp-hpa with 512-byte "
                "blocks and BusyBox tftp with 1468 and 4076-byte blocks; each figure is the best "
                "of %d runs, not a paired median:\n\n```\n%s```" % (runs, runs, text))


def bench_vm(args, results):
    """medium/test: the installer as init of the RAM system in qemu-system-i386, one install
    mode after the other; each reports its seconds from kernel start to "Software
    installed.". There is no peer: the figures stand alone."""
    title = "End to end in a VM"
    if not os.path.exists(os.path.join(TOP, "medium/test")) or not shutil.which("qemu-system-i386"):
        placeholder(results, title, "it needs medium/test and qemu-system-i386")
        return
    times = os.path.join(TOP, "build-medium/vm-logs/times.txt")
    log("vm: medium/test (builds the media, boots every install mode; many minutes)")
    r = subprocess.run(["bash", os.path.join(TOP, "medium/test")], capture_output=True, text=True)
    if r.returncode != 0 or not os.path.exists(times):
        placeholder(results, title, "medium/test failed here: %s" %
                    ((r.stdout + r.stderr).strip().splitlines() or ["?"])[-1])
        return
    kvm = os.path.exists("/dev/kvm")
    rows = ["| Install mode | Kernel start to \"Software installed.\" |", "|---|---|"]
    for line in open(times):
        f = line.split()
        if len(f) == 2:
            rows.append("| %s | %s s |" % (f[0], f[1]))
    results.add(title, "`bash medium/test`: the medium's installer, 32-bit and static, as init "
                "of its RAM system in qemu-system-i386 (%s), one run per mode, timed on its "
                "serial console from the kernel's first line to \"Software installed.\".\n\n%s"
                % ("with KVM" if kvm else "software emulation without KVM: many times slower "
                   "than a real PC", "\n".join(rows)))


def placeholder(results, title, what, goals=()):
    for g in goals:
        results.goal(g, "-", False)
        results.goals[-1] = (g, "-", "not measured yet")
    results.add(title, "Not measured yet: %s. This section and its group in scripts/bench "
                "are kept for it; there are no figures here until then." % what)


# ---------------------------------------------------------------------------------------------
# Report

def machine():
    cpu = out_of("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2").strip()
    flags = out_of("grep -m1 '^flags' /proc/cpuinfo")
    mem = out_of("awk '/MemTotal/ {printf \"%.0f\", $2/1048576}' /proc/meminfo")
    distro = out_of(". /etc/os-release && echo $PRETTY_NAME")
    lines = [
        "- CPU: %s, %d processors, SHA instructions: %s; %s GiB memory" % (
            cpu, os.cpu_count(), "yes" if " sha_ni" in flags else "no", mem),
        "- System: %s, Linux %s" % (distro, platform.release()),
        "- Compiler: %s; zlib %s" % (out_of("c++ --version | head -1"),
                                     out_of("dpkg-query -W -f='${Version}\\n' zlib1g | head -1")),
        "- Peers: %s; %s; %s; %s; %s" % (
            out_of("tar --version | head -1"), out_of("gzip --version | head -1"),
            out_of("dpkg-deb --version | head -1"), out_of("sha1sum --version | head -1"),
            out_of("openssl version")),
    ]
    return "\n".join(lines)


def write_report(args, results, payloads, load_start, load_end, started, seconds):
    loaded = max(load_start, load_end) > 0.5
    p = ["# Performance", "",
         "Generated by `bash scripts/bench` (%s, %.0f minutes); do not edit by hand: the "
         "script rewrites this file. `bash scripts/bench --only GROUP` reruns one group "
         "(%s)." % (started, seconds / 60, ", ".join(GROUPS)), "",
         "## How to read the figures", "",
         "Every figure times whole processes from outside: start, work, exit. The commands "
         "of one table run in rounds, each once per round in a rotating order, after one "
         "warm-up round whose output is checked (every installer leaves the same tree, every "
         "hash is the same digest); %d rounds per table. Each time is the median with the "
         "fastest and slowest run in brackets; the ratio column divides the first command's "
         "time by the other's round by round and gives the median of those quotients: below "
         "1 the first command is faster. The ratios are the figures that count: this machine "
         "is shared, and a pair run back to back sees the same conditions." % args.runs, "",
         "## Machine", "", machine(),
         "- Load average (1 min) at the start %.2f, at the end %.2f%s" % (
             load_start, load_end,
             ": figures were taken under load from other work on the machine." if loaded else "."),
         "", "## Payloads", ""]
    for pl in payloads:
        p.append("- %s: %s: %d entries, %.1f MB; archive %.1f MB (zlib level 6, signed), "
                 "tar.gz %.1f MB (gzip -6), deb %.1f MB (gzip -6)" % (
                     pl.name, pl.description, pl.files, pl.size / 1e6, pl.sizes["kpk"] / 1e6,
                     pl.sizes["tgz"] / 1e6, pl.sizes["deb"] / 1e6))
    p += ["", "## Goals", "", "| Goal | Figure | Verdict |", "|---|---|---|"]
    p += ["| %s | %s | %s |" % g for g in results.goals]
    for title, text in results.sections:
        p += ["", "## " + title, "", text.rstrip()]
    notes = os.path.join(TOP, "bench/performance_notes.md")
    if os.path.exists(notes):
        p += ["", open(notes).read().rstrip()]
    with open(args.out, "w") as f:
        f.write("\n".join(p) + "\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--build32")
    ap.add_argument("--work", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--runs", type=int, default=10)
    ap.add_argument("--only", default=",".join(GROUPS))
    ap.add_argument("--pin-cpu", type=int, default=1)
    args = ap.parse_args()
    args.only = set(args.only.split(","))
    unknown = args.only - set(GROUPS)
    if unknown:
        raise SystemExit("bench: unknown groups %s (known: %s)" % (unknown, ", ".join(GROUPS)))
    started = datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M UTC")
    t0 = time.monotonic()
    load_start = os.getloadavg()[0]
    os.makedirs(args.work, exist_ok=True)
    binary = lambda build, name: os.path.join(build, "bin", name) if build else None
    kpk, kpk_read = binary(args.build, "kpk"), binary(args.build, "kpk_read")

    payloads = [
        Payload("real", args.work, kpk, kpk_read, make_real,
                "shared libraries, C and C++ headers and Perl modules of this machine"),
        Payload("synthetic", args.work, kpk, kpk_read, make_synthetic,
                "2,000 text files of 1 to 24 KB in 40 directories and four of 8 MB"),
    ]
    results = Results()
    bench_install(args, results, payloads, kpk)
    if "read" in args.only:
        bench_read(args, results, payloads, kpk_read)
    if "sha1" in args.only:
        bench_sha1(args, results, payloads[0], binary(args.build, "sha1_file"),
                   binary(args.build32, "sha1_file"))
    if "verify" in args.only:
        bench_verify(args, results, binary(args.build, "verify_bench"),
                     binary(args.build32, "verify_bench"))
    if "profile" in args.only:
        bench_profile(args, results, payloads[0], kpk)
    if "network" in args.only:
        bench_network(args, results)
    if "vm" in args.only:
        bench_vm(args, results)
    write_report(args, results, payloads, load_start, os.getloadavg()[0], started,
                 time.monotonic() - t0)
    log("wrote " + args.out)


if __name__ == "__main__":
    main()
