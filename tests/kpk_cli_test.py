#!/usr/bin/env python3
"""kpk info, files, digest and build against archives of an independent writer and reader."""
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "lib"))
import kpkfmt as k  # noqa: E402

KPK = os.environ.get("KPK", "build/bin/kpk")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(*args, check=True):
    p = subprocess.run([KPK, *args], capture_output=True, text=True)
    if check and p.returncode != 0:
        raise AssertionError(f"kpk {args} failed: {p.stderr}")
    return p


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def info(self, path):
        lines = run("info", path).stdout.splitlines()
        out = {}
        for line in lines:
            key, _, value = line.partition(": ")
            out.setdefault(key, []).append(value)
        return out

    def test_smallest_package(self):
        data = bytes.fromhex("1EF1D0BA26000000" "010020000000") + b"abc" + bytes(13) + \
            bytes.fromhex("00660003") + bytes(12)
        self.assertEqual(len(data), 46)
        path = self.write("abc.kpk", data)
        self.assertEqual(run("info", path).stdout,
                         "name: abc\nversion: 3.0\nbuild: 0\narchitecture: i386\n"
                         "description: \ndepends: (none)\nprovides: (none)\n"
                         "conflicts: (none)\nimage: no\nplain: no\nis_bundle: no\n"
                         "members: (none)\ntotal_length: 46\n")
        self.assertEqual(run("digest", path).stdout,
                         hashlib.sha1(data[8:]).hexdigest() + "  abc-3.0\n")

    def full_package(self, file_data, magic=k.REGULAR):
        parts = [
            k.part(k.PACKAGE_HEADER, k.header_record("shaper", k.version(3, 0, "c", 1), 1700000000)),
            k.part(k.ARCHITECTURE, b"i386"),
            k.part(k.DESCRIPTION, b"Traffic shaper\nfor links"),
            k.part(k.DEPENDS, k.ref_list([("system", k.version(3, 0)), ("filters", 0, k.version(2, 0))])),
            k.part(k.PROVIDES, k.ref_list([("qos", 0, 0, -2)])),
            k.part(k.CONFLICTS, k.ref_list([("oldshaper",)])),
            k.part(k.IMAGE, b"opaque"),
            k.part(k.INSTALL_SCRIPT, b"echo hi\n"),
            k.part(k.FILE_DATA, file_data),
        ]
        return k.archive(parts, magic)

    RECORDS = [
        ("etc", 0o40755, b"", 0, 0, 0),
        ("etc/x", 0o100644, b"abc", 0, 0, 0),
        ("/bin/tool", 0o104755, b"\x7fELF....", 0, 10, 86400),
        ("bin/sh", 0o120777, b"bash", 0, 0, 0),
        ("dev/lcd", 0o20666, k.device(10, 60), 0, 0, 0),
        ("dev/sda", 0o60660, k.device(8, 300), 0, 6, 0),
        ("run/ctl", 0o10600, b"", 1, 2, 0),
        ("etc/skipped", 0o100644, b"ignored", 0, 0, 0, 1),
    ]
    LISTING = [
        "drwxr-xr-x 0/0         0 1970-01-01 00:00 etc",
        "-rw-r--r-- 0/0         3 1970-01-01 00:00 etc/x",
        "-rwsr-xr-x 0/10         8 1970-01-02 00:00 /bin/tool",
        "lrwxrwxrwx 0/0         4 1970-01-01 00:00 bin/sh -> bash",
        "crw-rw-rw- 0/0     10,60 1970-01-01 00:00 dev/lcd",
        "brw-rw---- 0/6     8,300 1970-01-01 00:00 dev/sda",
        "prw------- 1/2         0 1970-01-01 00:00 run/ctl",
        "-rw-r--r-- 0/0         7 1970-01-01 00:00 etc/skipped (skipped)",
    ]

    def records(self):
        out = b""
        for r in self.RECORDS:
            name, mode, content, uid, gid, mtime = r[:6]
            out += k.file_record(name, mode, content, uid, gid, mtime, r[6] if len(r) > 6 else 0)
        return out

    def test_info_and_files_of_a_full_package(self):
        path = self.write("s.kpk", self.full_package(k.compress(self.records())))
        info = self.info(path)
        self.assertEqual(info["name"], ["shaper"])
        self.assertEqual(info["version"], ["3.0rc1"])
        self.assertEqual(info["build"], ["1700000000"])
        self.assertEqual(info["description"], ["Traffic shaper\\nfor links"])
        self.assertEqual(info["depends"], ["system-3.0 (>= 3.0)", "filters (<= 2.0)"])
        self.assertEqual(info["provides"], ["qos (priority -2)"])
        self.assertEqual(info["conflicts"], ["oldshaper"])
        self.assertEqual(info["image"], ["yes"])
        self.assertEqual(info["total_length"], [str(os.path.getsize(path))])
        self.assertEqual(run("files", path).stdout.splitlines(), self.LISTING)

    def test_file_data_edges(self):
        records = self.records()
        z = k.compress(records)
        # Bytes after the end of the zlib stream are never listed.
        path = self.write("t.kpk", self.full_package(z + b"GARBAGE AFTER THE STREAM"))
        self.assertEqual(run("files", path).stdout.splitlines(), self.LISTING)
        # Only the Adler-32 trailer cut off: every record is still there.
        path = self.write("c.kpk", self.full_package(z[:-1]))
        self.assertEqual(run("files", path).stdout.splitlines(), self.LISTING)
        # Cut inside the records: what precedes the cut, then a clear failure.
        half = zlib.compressobj(6)
        partial = half.compress(records) + half.flush(zlib.Z_SYNC_FLUSH)
        path = self.write("h.kpk", self.full_package(partial[: len(partial) // 2]))
        p = run("files", path, check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertEqual(len(p.stderr.splitlines()), 1)
        # A stream whose last input chunk (of 4096 bytes) holds only the trailer.
        big = k.file_record("big", 0o100644, b"z" * 4056)  # 2 + 5 + 4089 bytes fill one chunk
        stored = zlib.compressobj(0)
        z0 = stored.compress(big) + stored.flush()
        self.assertEqual(len(z0), 4100)
        path = self.write("b.kpk", self.full_package(z0))
        self.assertEqual(run("files", path).stdout.splitlines(),
                         ["-rw-r--r-- 0/0      4056 1970-01-01 00:00 big"])

    def test_bundle(self):
        member_a = [k.part(k.PACKAGE_HEADER, k.header_record("a", k.version(1, 0))),
                    k.part(k.FILE_DATA, k.compress(k.file_record("a.txt", 0o100644, b"a")))]
        member_b = [k.part(k.PACKAGE_HEADER, k.header_record("b", k.version(2, 0, "f", 3))),
                    k.part(k.DEPENDS, k.ref_list([("a",)])),
                    k.part(k.SIGNATURE, b"\0" * 68)]
        parts = [k.part(k.BUNDLE_HEADER, k.header_record("suite", k.version(1, 2))),
                 k.part(k.DESCRIPTION, b"both"),
                 k.part(k.BUNDLE_CONTENTS, k.ref_list([("a",), ("b",)]))] + member_a + member_b
        data = k.archive(parts, k.PLAIN)
        path = self.write("suite.kpk", data)
        info = self.info(path)
        self.assertEqual(info["is_bundle"], ["yes"])
        self.assertEqual(info["plain"], ["yes"])
        self.assertEqual(info["members"], ["a-1.0 b-2.0.3"])
        self.assertEqual(run("files", path).stdout.splitlines(),
                         ["# a-1.0", "-rw-r--r-- 0/0         1 1970-01-01 00:00 a.txt", "# b-2.0.3"])
        a_bytes = b"".join(member_a)
        b_bytes = b"".join(member_b)[:-68]  # a signed digest ends with the signature header
        self.assertEqual(run("digest", path).stdout,
                         f"{hashlib.sha1(a_bytes).hexdigest()}  a-1.0\n"
                         f"{hashlib.sha1(b_bytes).hexdigest()}  b-2.0.3\n")

    def test_unreadable_archives_fail_with_one_line(self):
        good = self.full_package(k.compress(self.records()))
        cases = {
            "short.kpk": good[:5],
            "magic.kpk": b"\0\0\0\0" + good[4:],
            "cut.kpk": good[:-1],
            "long.kpk": good + b"x",
            "empty-bundle.kpk": k.archive([k.part(k.BUNDLE_HEADER, k.header_record("s", 1))]),
            "lying.kpk": k.archive([k.part(k.PACKAGE_HEADER, b"x")[:2] + b"\xff\xff\xff\xff" + b"x"]),
        }
        os.mkdir(os.path.join(self.dir.name, "dir.kpk"))
        paths = [self.write(n, d) for n, d in cases.items()] + [os.path.join(self.dir.name, "dir.kpk"),
                                                               os.path.join(self.dir.name, "missing.kpk")]
        for path in paths:
            p = run("info", path, check=False)
            self.assertNotEqual(p.returncode, 0, path)
            self.assertEqual(p.stdout, "", path)
            self.assertEqual(len(p.stderr.splitlines()), 1, (path, p.stderr))
            self.assertTrue(p.stderr.startswith("kpk: "), p.stderr)

    def test_build_is_reproducible_and_readable_by_an_independent_reader(self):
        tree = os.path.join(self.dir.name, "tree")
        os.makedirs(os.path.join(tree, "etc/ppp"))
        os.makedirs(os.path.join(tree, "bin"))
        with open(os.path.join(tree, "etc/ppp/options"), "w") as f:
            f.write("lock\n")
        with open(os.path.join(tree, "bin/pppd"), "wb") as f:
            f.write(bytes(range(256)) * 40)
        os.chmod(os.path.join(tree, "bin/pppd"), 0o755)
        os.symlink("pppd", os.path.join(tree, "bin/ppp"))
        with open(os.path.join(self.dir.name, "install.sh"), "w") as f:
            f.write("echo installed\n")
        manifest = os.path.join(self.dir.name, "ppp.manifest")
        with open(manifest, "w") as f:
            f.write("name: ppp\nversion: 2.4beta3\nbuild: 1234\narchitecture: i386\n"
                    "description: Point to point\n  protocol\n"
                    "depends: system >= 3.0\nprovides: dialer priority 2\nconflicts: pppoe <= 1.0\n"
                    "install-script: install.sh\nfiles: tree\nmtime: 86400\n"
                    "owner: bin/pppd 0:30\nmode: etc/ppp/options 0600\n"
                    "device: dev/ppp c 108 0 0600\nfifo: run/ppp 0660\nskip: bin/ppp\n")
        out1 = os.path.join(self.dir.name, "one.kpk")
        out2 = os.path.join(self.dir.name, "two.kpk")
        run("build", manifest, "-o", out1)
        os.utime(os.path.join(tree, "etc/ppp/options"), (5, 5))  # mtime is fixed by the manifest
        run("build", manifest, "-o", out2)
        data = read(out1)
        self.assertEqual(data, read(out2))

        magic, length, parts = k.parse(data)
        self.assertEqual(magic, k.REGULAR)
        self.assertEqual(length, len(data) - 8)
        self.assertEqual([t for t, _ in parts], [1, 16, 2, 3, 19, 17, 7, 4])
        body = dict(parts)
        self.assertEqual(body[1], k.header_record("ppp", k.version(2, 4, "b", 3), 1234))
        self.assertEqual(body[2], b"Point to point\nprotocol")
        self.assertEqual(body[3], k.ref_list([("system", k.version(3, 0))]))
        self.assertEqual(body[19], k.ref_list([("dialer", 0, 0, 2)]))
        self.assertEqual(body[17], k.ref_list([("pppoe", 0, k.version(1, 0))]))
        self.assertEqual(body[7], b"echo installed\n")
        files = {f["name"]: f for f in k.parse_files(body[4])}
        self.assertEqual(sorted(files), ["bin", "bin/ppp", "bin/pppd", "dev/ppp", "etc", "etc/ppp",
                                         "etc/ppp/options", "run/ppp"])
        self.assertEqual(files["bin/pppd"]["content"], bytes(range(256)) * 40)
        self.assertEqual((files["bin/pppd"]["uid"], files["bin/pppd"]["gid"]), (0, 30))
        self.assertEqual(files["bin/pppd"]["mode"], 0o100755)
        self.assertEqual(files["etc/ppp/options"]["mode"], 0o100600)
        self.assertEqual(files["bin/ppp"]["content"], b"pppd")
        self.assertEqual(files["bin/ppp"]["skip"], 1)
        self.assertEqual(files["dev/ppp"]["content"], k.device(108, 0))
        self.assertEqual(files["dev/ppp"]["mode"], 0o20600)
        self.assertEqual(files["run/ppp"]["mode"], 0o10660)
        self.assertTrue(all(f["mtime"] == 86400 for f in files.values()))

        # A bundle of it, with a contents list.
        bundle_manifest = os.path.join(self.dir.name, "suite.manifest")
        with open(bundle_manifest, "w") as f:
            f.write("name: suite\nversion: 1.0\ncontents: ppp >= 2.4beta\n")
        suite = os.path.join(self.dir.name, "suite.kpk")
        run("bundle", bundle_manifest, "-o", suite, out1)
        sdata = read(suite)
        _, _, sparts = k.parse(sdata)
        self.assertEqual([t for t, _ in sparts], [18, 20, 1, 16, 2, 3, 19, 17, 7, 4])
        self.assertEqual(sdata[8 + 6 + 32 + 6 + len(sparts[1][1]):], data[8:])

    def test_bad_manifests_are_refused_with_a_reason(self):
        for text, why in [("version: 1.0\n", "no name"), ("name: x\n", "no version"),
                          ("name: x\nversion: 1.0rc1x\n", "bad version"),
                          ("name: x\nversion: 1.0\ndepends: a >> 1.0\n", "operator"),
                          ("name: x\nversion: 1.0\nfrobnicate: yes\n", "unknown key"),
                          ("name: x\nversion: 1.0\nskip: nowhere\n", "without files"),
                          ("name: 12345678901234567\nversion: 1.0\n", "16 bytes")]:
            manifest = self.write("bad.manifest", text.encode())
            p = run("build", manifest, "-o", os.path.join(self.dir.name, "bad.kpk"), check=False)
            self.assertNotEqual(p.returncode, 0, text)
            self.assertIn(why, p.stderr, text)
            self.assertFalse(os.path.exists(os.path.join(self.dir.name, "bad.kpk")))


if __name__ == "__main__":
    unittest.main()
