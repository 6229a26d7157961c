#!/usr/bin/env python3
"""kpk install and kpk installed on archives made by an independent writer (kpkfmt) and
signed by an independent signer (kpksig): files, database records and messages on disk as
another program reads them."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "lib"))
import kpkfmt as k  # noqa: E402
import kpkenv  # noqa: E402
from kpkenv import KPK, lines  # noqa: E402

ROOT = os.geteuid() == 0


def package(name, version, files=(), depends=(), conflicts=(), signed=True, magic=k.REGULAR):
    parts = [k.part(k.PACKAGE_HEADER, k.header_record(name, version, 1700000000))]
    if depends:
        parts.append(k.part(k.DEPENDS, k.ref_list(depends)))
    if conflicts:
        parts.append(k.part(k.CONFLICTS, k.ref_list(conflicts)))
    records = b"".join(k.file_record(*f) for f in files)
    parts.append(k.part(k.FILE_DATA, k.compress(records)))
    return k.archive(kpkenv.signed(parts) if signed else parts, magic)


class Install(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.target = os.path.join(self.dir.name, "target")
        os.mkdir(self.target)

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def install(self, *paths, stdin=None):
        return subprocess.run([KPK, "install", "--root", self.target, *paths], input=stdin,
                              capture_output=True)

    def read(self, path):
        with open(os.path.join(self.target, path), "rb") as f:
            return f.read()

    def test_packages_land_with_their_records(self):
        system = self.write("system.kpk", package("system", k.version(3, 0), [
            ("etc/issue", 0o100644, b"Router\n", 0, 0, 86400),
            ("bin/sh", 0o120777, b"bash"),
            ("etc/secret", 0o100600, b"s", 5, 6)]))
        ppp = self.write("ppp.kpk", package("ppp", k.version(2, 4, "f", 7), [
            ("usr/sbin/pppd", 0o104755, b"\x7fELF")], depends=[("system", k.version(3, 0))]))
        p = self.install(system, ppp)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        self.assertEqual(lines(p.stdout.decode()), ["installed system-3.0", "installed ppp-2.4.7"])
        self.assertEqual(self.read("etc/issue"), b"Router\n")
        self.assertEqual(os.readlink(os.path.join(self.target, "bin/sh")), "bash")
        self.assertEqual(os.stat(os.path.join(self.target, "etc/issue")).st_mtime, 86400)
        if ROOT:
            st = os.stat(os.path.join(self.target, "usr/sbin/pppd"))
            self.assertEqual(st.st_mode & 0o7777, 0o4755)
            st = os.stat(os.path.join(self.target, "etc/secret"))
            self.assertEqual((st.st_uid, st.st_gid, st.st_mode & 0o777), (5, 6, 0o600))
        self.assertEqual(self.read("var/pdb/system/version"), b"%d 1700000000\n" % k.version(3, 0))
        self.assertEqual(self.read("var/pdb/system/files"), b"bin/sh\netc/issue\netc/secret\n")
        self.assertEqual(self.read("var/pdb/ppp/deps"), b"system %d 0\n" % k.version(3, 0))
        self.assertFalse(os.path.exists(os.path.join(self.target, "image")))
        listing = subprocess.run([KPK, "installed", "--root", self.target], capture_output=True,
                                 text=True, check=True).stdout.split("\n")
        self.assertEqual([l.split() for l in listing if l],
                         [["ppp", "2.4.7", "enabled", "-", "1", "files"],
                          ["system", "3.0", "enabled", "-", "3", "files"]]
                         if listing[0].startswith("ppp") else
                         [["system", "3.0", "enabled", "-", "3", "files"],
                          ["ppp", "2.4.7", "enabled", "-", "1", "files"]])

    def test_upgrade_refusals_and_standard_input(self):
        old = package("ppp", k.version(2, 0), [("etc/ppp/old", 0o100644, b"o")])
        new = package("ppp", k.version(2, 1), [("etc/ppp/new", 0o100644, b"n")])
        self.assertEqual(self.install("-", stdin=old).returncode, 0)
        p = self.install(self.write("new.kpk", new), self.write("old.kpk", old))
        self.assertEqual(p.returncode, 1)  # the second one is refused
        self.assertEqual(lines(p.stdout.decode()), [
            "installed ppp-2.1",
            "WARNING: omitting package ppp-2.0: newer package ppp-2.1 is already installed"])
        self.assertFalse(os.path.exists(os.path.join(self.target, "etc/ppp/old")))
        self.assertEqual(self.read("etc/ppp/new"), b"n")
        self.assertEqual(self.read("var/pdb/ppp/version"), b"%d 1700000000\n" % k.version(2, 1))

    def test_forged_and_broken_archives_change_nothing(self):
        with open(os.path.join(self.target, "keep"), "w") as f:
            f.write("keep")
        forged = bytearray(package("evil", k.version(1, 0), [("keep", 0o100644, b"overwritten")]))
        forged[-1] ^= 1  # the signature no longer matches
        unsigned = package("evil", k.version(1, 0), [("etc/evil", 0o100644, b"x")], signed=False)
        junk = self.write("junk.kpk", b"not an archive at all")
        p = self.install(self.write("forged.kpk", bytes(forged)), self.write("unsigned.kpk", unsigned),
                         junk)
        self.assertEqual(p.returncode, 1)
        # Judged before anything is written: not even the ghost file is looked at.
        self.assertEqual(lines(p.stdout.decode()), [
            "ERROR: installation of evil-1.0 failed: broken package",
            "ERROR: installation of evil-1.0 failed: broken package",
            "ERROR: installation of %s failed: broken package" % junk])
        self.assertEqual(self.read("keep"), b"keep")
        # The directories the archives made on the way go with them; nothing is left.
        self.assertEqual(sorted(os.listdir(self.target)), ["keep", "var"])
        self.assertEqual(os.listdir(os.path.join(self.target, "var/pdb")), [])

    def test_usage_errors(self):
        for args in (["install"], ["install", "--root", self.target],
                     ["install", "--root", os.path.join(self.dir.name, "missing"), "x.kpk"],
                     ["installed"]):
            p = subprocess.run([KPK, *args], capture_output=True, text=True)
            self.assertNotEqual(p.returncode, 0, args)
            self.assertEqual(len(p.stderr.strip().split("\n")), 1, p.stderr)
        p = self.install(os.path.join(self.dir.name, "missing.kpk"))
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"missing.kpk", p.stderr)


if __name__ == "__main__":
    unittest.main()
