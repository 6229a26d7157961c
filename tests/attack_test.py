#!/usr/bin/env python3
"""Crafted archives against the installation child, through kpk install --root.

The archives come from the independent writer (kpkfmt) and, where a case needs a genuine
package, the independent signer (kpksig). Each row of the table installs genuine packages,
prepares the target, installs the attack archives and names the outcome. The runner applies
the checks every refusal and every collision share: a refused archive leaves the whole
target as it was, also after the next run's recovery; a collision keeps the owner's entry."""
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
from collections import namedtuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "lib"))
import kpkfmt as k  # noqa: E402
import kpkenv  # noqa: E402
from kpkenv import KPK, lines  # noqa: E402



def F(name, data=b"x", mode=0o644):
    return (name, 0o100000 | mode, data)


def L(name, target):
    return (name, 0o120777, target.encode())


def D(name, mode=0o755):
    return (name, 0o040000 | mode, b"")


def _version(text):
    major, minor = text.split(".")
    return k.version(int(major), int(minor))


def package(name, version, files=(), depends=(), provides=(), conflicts=(), signed=True):
    parts = [k.part(k.PACKAGE_HEADER, k.header_record(name, _version(version), 1700000000))]
    for ptype, names in ((k.DEPENDS, depends), (k.PROVIDES, provides), (k.CONFLICTS, conflicts)):
        if names:
            parts.append(k.part(ptype, k.ref_list([(n,) for n in names])))
    parts.append(k.part(k.FILE_DATA, k.compress(b"".join(k.file_record(*f) for f in files))))
    return k.archive(kpkenv.signed(parts) if signed else parts)


def bundle(name, version, members, contents=None):
    """The bundle's own parts are signed by nobody; members are whole archives."""
    parts = [k.part(k.BUNDLE_HEADER, k.header_record(name, _version(version), 1700000000))]
    if contents:
        parts.append(k.part(k.BUNDLE_CONTENTS, k.ref_list([(n,) for n in contents])))
    return k.archive(parts + [m[8:] for m in members])


def entry(path):
    """Everything about one entry that an attack could change; None when there is none."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    what = (stat.S_IFMT(st.st_mode), st.st_mode & 0o7777, st.st_uid, st.st_gid)
    if stat.S_ISLNK(st.st_mode):
        return what + (os.readlink(path),)
    if stat.S_ISREG(st.st_mode):
        with open(path, "rb") as f:
            return what + (hashlib.sha256(f.read()).hexdigest(),)
    return what


def snapshot(root):
    tree = {".": entry(root)}
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(top, name)
            tree[os.path.relpath(path, root)] = entry(path)
    return tree


def differences(a, b):
    return sorted(p for p in set(a) | set(b) if a.get(p) != b.get(p))


PASSWD = b"root:x:0:0:root:/root:/bin/sh\n"
BASE = package("base", "1.0", [D("etc"), F("etc/passwd", PASSWD), D("etc/cron.d"), D("usr"),
                               D("usr/lib"), L("lib", "usr/lib")])
# A journal of a transaction that made base's record and created /etc/passwd and /etc/local:
# undoing it would take all three away.
JOURNAL = b"kpk journal 1 open\nR base\nC /etc/passwd\nC /etc/local\n"
BROKEN = "ERROR: installation of %s failed: broken package"

Refused = namedtuple("Refused", "line")
Installed = namedtuple("Installed", "line keep")  # keep: an entry no step may change
Case = namedtuple("Case", "name genuine attack expect prepare after check",
                  defaults=(None, None, (), None))


def refused(label):
    return Refused(BROKEN % label)


def collides(path, owner, keep=None):
    return Installed("WARNING: file %s collides with %s package" % (path, owner),
                     keep or path.lstrip("/"))


class Run:
    """One row: a fresh target, the packages it names and the checks on what happened."""

    def __init__(self, case, work):
        self.case, self.work = case, work
        self.target = os.path.join(work, "target")
        os.mkdir(self.target)
        self.problems, self.codes, self.outs = [], [], []

    def expect(self, ok, what):
        if not ok:
            self.problems.append(what)

    def install(self, archive):
        path = os.path.join(self.work, "a.kpk")
        with open(path, "wb") as f:
            f.write(archive)
        p = subprocess.run([KPK, "install", "--root", self.target, path], capture_output=True)
        return p.returncode, lines(p.stdout.decode(errors="replace"))

    def install_ok(self, archive, what):
        code, out = self.install(archive)
        self.expect(code == 0, "%s: exit %d: %s" % (what, code, out))
        return code == 0

    def listing(self):
        p = subprocess.run([KPK, "installed", "--root", self.target], capture_output=True,
                           text=True)
        self.expect(p.returncode == 0, "kpk installed: exit %d" % p.returncode)
        return p.stdout

    def path(self, rel):
        return os.path.join(self.target, rel)

    def read(self, rel):
        try:
            with open(self.path(rel), "rb") as f:
                return f.read()
        except OSError:
            return None

    def entry(self, rel):
        return entry(self.path(rel))

    def same_tree(self, before, when):
        changed = differences(before, snapshot(self.target))
        self.expect(not changed, "%s: target changed at %s" % (when, changed[:6]))

    def consistent(self, name, version, is_bundle=False):
        """The exit status agrees with the messages, and the database reads back whole."""
        code, out = self.codes[-1], self.outs[-1]
        recorded = (self.read("var/pdb/%s/version" % name) or b"").startswith(
            b"%d " % _version(version)) and is_bundle != os.path.exists(
            self.path("var/pdb/%s/files" % name))
        errors = [l for l in out if l.startswith("ERROR: ")]
        self.expect(code == (0 if recorded and not errors else 1),
                    "exit %d, recorded %s, messages %s" % (code, recorded, out))
        self.expect("broken record" not in self.listing(), "kpk installed: a broken record")

    def go(self):
        case = self.case
        for archive in case.genuine:
            if not self.install_ok(archive, "genuine package"):
                return self.problems
        if case.prepare:
            case.prepare(self.target)
        listed, before = self.listing(), snapshot(self.target)
        keep = isinstance(case.expect, Installed) and case.expect.keep
        kept = self.entry(keep) if keep else None
        for archive in case.attack:
            code, out = self.install(archive)
            self.codes.append(code)
            self.outs.append(out)
            if isinstance(case.expect, Refused):
                self.expect(code == 1, "exit %d, not 1" % code)
                self.expect(case.expect.line in out, "no %r in %s" % (case.expect.line, out))
                self.same_tree(before, "after the attack")
            elif isinstance(case.expect, Installed):
                self.expect(code == 0, "exit %d, not 0: %s" % (code, out))
                self.expect(case.expect.line in out, "no %r in %s" % (case.expect.line, out))
        if isinstance(case.expect, Refused):
            # The next run starts with the recovery: it must find nothing to act on.
            self.expect(self.listing() == listed, "kpk installed lists other packages")
            self.same_tree(before, "after kpk installed")
        if keep:
            self.expect(self.entry(keep) == kept, "/%s changed by the attack" % keep)
        for archive in case.after:
            self.install_ok(archive, "follow-up")
        if keep and case.after:
            self.expect(self.entry(keep) == kept, "/%s changed by the follow-up" % keep)
        if case.check:
            case.check(self)
        return self.problems


def _p_files_without_l_passwd(r):
    files = r.read("var/pdb/P/files")
    r.expect(files is not None and b"l/passwd" not in files.split(b"\n"),
             "P's files record: %r" % files)


def _not_adopted(r):
    r.expect(r.codes[0] == 1, "W-1.0: exit %d, not 1: %s" % (r.codes[0], r.outs[0]))
    r.expect(not os.path.lexists(r.path("var/pdb/X/bundle")), "X was adopted by W")
    r.install_ok(bundle("W", "2.0", [package("Y", "1.0", [F("y")])]), "W-2.0")
    r.expect(os.path.isdir(r.path("var/pdb/X")) and
             not os.path.lexists(r.path("var/pdb/X/disabled")), "X is gone or disabled")
    r.expect(re.search(r"^X +1\.0 +enabled ", r.listing(), re.M), "X not listed enabled")


def _n_stays_enabled(r):
    r.expect(r.codes[0] == 0, "B-1.0: exit %d: %s" % (r.codes[0], r.outs[0]))
    r.expect(not os.path.lexists(r.path("var/pdb/N/disabled")), "N was disabled")
    r.expect(r.read("var/pdb/M/files") == b"m\n", "M not installed")


def _image_stays(rel, data):
    def check(r):
        shipped = r.entry(rel)
        r.expect(shipped is not None and shipped[-1] == hashlib.sha256(data).hexdigest(),
                 "/%s is not what the package shipped: %s" % (rel, shipped))
        r.install_ok(package("Q", "1.0", [F("q")]), "Q-1.0 after it")
        r.expect(r.entry(rel) == shipped, "/%s changed by the next installation" % rel)
    return check


def _reinstalled(r):
    r.expect(r.codes[0] == 0, "exit %d, not 0" % r.codes[0])
    r.expect("installed B-1.0" in r.outs[0], "no 'installed B-1.0' in %s" % r.outs[0])


def _self_member(version):
    def check(r):
        r.consistent("B", version, is_bundle=True)
        r.expect(not os.path.exists(r.path("var/pdb/B/files")), "var/pdb/B has a files record")
    return check


def _plant(rel, data):
    def prepare(target):
        with open(os.path.join(target, rel), "wb") as f:
            f.write(data)
    return prepare


U, G = "U-1.0", "G-1.0"
SHADOW = b"etc/shadow\n"  # a files record that would hand base's files to nobody
# Each signature has a nonce of its own: a package or bundle installed "again" is these bytes.
X = package("X", "1.0", [F("x")])
B_C = bundle("B", "1.0", [package("C", "1.0", [F("c")])])
CASES = [
    Case("link re-pointed after a file written through it", [BASE], [package("U", "1.0", [
        L("l", "etc"), F("l/passwd", b"evil\n"), L("l", "usr")], signed=False)], refused(U)),
    Case("file through a link, then a link in the file's place", [BASE], [package("U", "1.0", [
        L("l", "etc"), F("l/passwd", b"evil\n"), L("l/passwd", "/usr")], signed=False)],
        refused(U)),
    Case("file through a link, then a directory in the link's place", [BASE], [package(
        "U", "1.0", [L("l", "etc"), F("l/passwd", b"evil\n"), D("l")], signed=False)],
        refused(U)),
    Case("journal planted through a link", [BASE], [package("U", "1.0", [
        L("p", "var/pdb"), F("p/.kpk-journal-7", JOURNAL), L("p", "usr")], signed=False)],
        refused(U), prepare=_plant("etc/local", b"kept\n")),
    Case("genuine package ships a journal", [BASE], [package("G", "1.0", [
        F("var/pdb/.kpk-journal-9", JOURNAL)])], refused(G), prepare=_plant("etc/local", b"k")),
] + [
    Case("genuine package writes a record" + how, [BASE], [package("G", "1.0", files)],
         refused(G))
    for how, files in (
        ("", [F("var/pdb/base/files", SHADOW)]),
        (" through a link", [L("d", "var/pdb"), F("d/base/files", SHADOW)]),
        (" through an absolute link", [L("v", "/var"), F("v/pdb/base/files", SHADOW)]),
        (" by another spelling", [F("./var//pdb/base/files", SHADOW)]))
] + [
    Case("own link onto an owned file", [BASE], [package("P", "1.0", [
        L("l", "etc"), F("l/passwd", b"evil\n")])], collides("/l/passwd", "base", "etc/passwd"),
        check=_p_files_without_l_passwd),
    Case("owned file reached through the base's link",
         [BASE, package("modA", "1.0", [F("usr/lib/libm.so", b"A")])],
         [package("modB", "1.0", [F("lib/libm.so", b"B")])],
         collides("/lib/libm.so", "modA", "usr/lib/libm.so"),
         after=[package("modB", "2.0", [F("lib/other.so", b"B2")])]),
    Case("dangling link owned by another package",
         [BASE, package("pkgA", "1.0", [L("x", "nowhere")])],
         [package("pkgB", "1.0", [F("x", b"B")])], collides("/x", "pkgA")),
    Case("unsigned bundle adopts an installed package", [X], [bundle("W", "1.0", [X])],
         check=_not_adopted),
    Case("contents list names a package outside the bundle",
         [package("N", "1.0", [F("n")])],
         [bundle("B", "1.0", [package("M", "1.0", [F("m")])], contents=["N"])],
         check=_n_stays_enabled),
    Case("directory mode set through a link to the root", [BASE], [package("U", "1.0", [
        L("r", "/"), D("r/etc/cron.d", 0o7777)], signed=False)], refused(U)),
    Case("directory made through a link to the root", [BASE], [package("U", "1.0", [
        L("r", "/"), D("r/etc/cron.d/sub", 0o7777)], signed=False)], refused(U)),
    Case("package ships /image", [BASE], [package("P", "1.0", [F("image", b"mine")])],
         Installed("installed P-1.0", None), check=_image_stays("image", b"mine")),
    Case("package ships an /image directory", [BASE], [package("P", "1.0", [
        D("image"), F("image/f", b"mine")])], Installed("installed P-1.0", None),
        check=_image_stays("image/f", b"mine")),
    Case("dependency name with a blank", [BASE], [package("P", "1.0", depends=["lib x"])],
         refused("P-1.0")),
    Case("provided name with a blank", [BASE], [package("P", "1.0", provides=["lib x"])],
         refused("P-1.0")),
    Case("conflicting name with a blank", [BASE], [package("P", "1.0", conflicts=["lib x"])],
         refused("P-1.0")),
    Case("provided name with a control character", [BASE],
         [package("P", "1.0", provides=["lib\x01x"])], refused("P-1.0")),
    Case("genuine bundle installed again", [B_C], [B_C], check=_reinstalled),
    Case("hidden package name", [BASE], [package(".hid", "1.0", [F("hid")])],
         refused(".hid-1.0")),
] + [
    Case("upgrade that conflicts with its own name" + how,
         [package("P", "1.0", [F("p1")], conflicts=old)],
         [package("P", "2.0", [F("p2")], conflicts=["P"])],
         check=lambda r: r.consistent("P", "2.0"))
    for how, old in (("", ()), (", over one that does too", ["P"]))
] + [
    Case("bundle %s with a member B-%s" % (outer, inner), [BASE],
         [bundle("B", outer, [package("B", inner, [F("b")])])], check=_self_member(outer))
    for outer, inner in (("1.0", "1.0"), ("1.0", "2.0"), ("2.0", "1.0"))
]


class Attacks(unittest.TestCase):
    def test_attack_table(self):
        for case in CASES:
            with self.subTest(case.name):
                work = tempfile.mkdtemp()
                try:
                    problems = Run(case, work).go()
                finally:
                    shutil.rmtree(work, ignore_errors=True)
                self.assertFalse(problems, "\n  ".join([""] + problems))


if __name__ == "__main__":
    unittest.main()
