#!/usr/bin/env python3
"""kpk keygen, sign and verify against an independent writer (kpkfmt) and an independent
signer and verifier (kpksig)."""
import os
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "lib"))
import kpkfmt as k  # noqa: E402
import kpksig  # noqa: E402

KPK = os.environ.get("KPK", "build/bin/kpk")
SOURCE = os.environ.get("KEST_SOURCE_DIR", os.path.dirname(HERE))
TRUST_DIR = os.environ.get("KEST_TRUST_DIR", os.path.join(SOURCE, "trust"))
DEV_KEY = os.path.join(SOURCE, "trust", "development.key")
TRUST = kpksig.Trust(TRUST_DIR)
(DEV_SCALAR,) = kpksig.read_hex_words(DEV_KEY)
DEV_SCALAR = int.from_bytes(bytes.fromhex(DEV_SCALAR), "little")
DEV_IS_TRUSTED = kpksig.public_key_of(DEV_SCALAR)[0] == TRUST.public_key
# The test package whose digest the source tree's trust directory lists.
TRUSTED_PARTS = [k.part(k.PACKAGE_HEADER, k.header_record("trustedtest", k.version(1, 0))),
                 k.part(k.FILE_DATA, bytes.fromhex("789c030000000001"))]


def run(*args, check=True):
    p = subprocess.run([KPK, *args], capture_output=True, text=True)
    if check and p.returncode != 0:
        raise AssertionError(f"kpk {args} failed: {p.stderr}")
    return p


def small_package(name="netcfg", files=((b"etc/net", 0o100644, b"eth0"),)):
    records = b"".join(k.file_record(n.decode(), m, c) for n, m, c in files)
    return [k.part(k.PACKAGE_HEADER, k.header_record(name, k.version(1, 2), 1700000000)),
            k.part(k.DESCRIPTION, b"network settings"),
            k.part(k.DEPENDS, k.ref_list([("system", k.version(3, 0))])),
            k.part(k.INSTALL_SCRIPT, b"true\n"),
            k.part(k.FILE_DATA, k.compress(records))]


def signature_part(parts, scalar=DEV_SCALAR, tail=b"", offset=8, length=None):
    """The signature part for a package's parts, made by the independent signer."""
    body_len = 68 + len(tail) if length is None else length
    header = k.part(k.SIGNATURE, b"")[:2] + body_len.to_bytes(4, "little")
    digest = kpksig.sha1(b"".join(parts) + header)
    record = kpksig.sign(TRUST, scalar, digest, offset=offset)
    return header + (record + tail)[:body_len]


class Sign(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def verify(self, data, *extra):
        p = run("verify", self.write("v.kpk", data), *extra, check=False)
        return p.returncode, p.stdout

    def test_keygen(self):
        run("keygen", self.path("k.key"), self.path("k.pub"))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("k.key")).st_mode), 0o600)
        (scalar,) = kpksig.read_hex_words(self.path("k.key"))
        (public,) = kpksig.read_hex_words(self.path("k.pub"))
        scalar = int.from_bytes(bytes.fromhex(scalar), "little")
        self.assertTrue(0 < scalar < kpksig.L)
        # The stored scalar's point has the even y, and its x is the public key.
        self.assertEqual(kpksig.public_key_of(scalar), (bytes.fromhex(public), True))
        # Never overwrites a key.
        p = run("keygen", self.path("k.key"), self.path("other.pub"), check=False)
        self.assertNotEqual(p.returncode, 0)
        self.assertIn("File exists", p.stderr)
        # The public file is a trust directory's public_key.hex.
        self.assertEqual(len(kpksig.read_hex_words(self.path("k.pub"))), 1)

    def test_sign_appends_a_record_the_independent_verifier_accepts(self):
        parts = small_package()
        self.write("in.kpk", k.archive(parts))
        run("sign", self.path("in.kpk"), "-k", DEV_KEY, "-o", self.path("out.kpk"))
        magic, length, out = k.parse(self.read("out.kpk"))
        self.assertEqual(magic, k.REGULAR)
        self.assertEqual(length, len(self.read("out.kpk")) - 8)
        self.assertEqual([k.part(t, b) for t, b in out[:-1]], parts)
        sig_type, record = out[-1]
        self.assertEqual((sig_type, len(record)), (k.SIGNATURE, 68))
        digest = kpksig.sha1(b"".join(parts) + k.part(k.SIGNATURE, b"")[:2] + (68).to_bytes(4, "little"))
        self.assertEqual(record[:20], digest)
        self.assertTrue(kpksig.verify_record(TRUST, digest, record,
                                             kpksig.public_key_of(DEV_SCALAR)[0]))
        # Deterministic, and signing again replaces the signature instead of adding one.
        run("sign", self.path("in.kpk"), "-k", DEV_KEY, "-o", self.path("again.kpk"))
        self.assertEqual(self.read("again.kpk"), self.read("out.kpk"))
        run("sign", self.path("out.kpk"), "-k", DEV_KEY)  # in place
        self.assertEqual(self.read("again.kpk"), self.read("out.kpk"))

    def test_sign_every_bundle_member_and_plain_archives(self):
        a, b = small_package("alpha"), small_package("beta")
        bundle = [k.part(k.BUNDLE_HEADER, k.header_record("suite", k.version(1, 0))),
                  k.part(k.BUNDLE_CONTENTS, k.ref_list([("alpha",), ("beta",)]))]
        # beta arrives with a stale signature part of its own, which is replaced.
        self.write("b.kpk", k.archive(bundle + a + b + [k.part(k.SIGNATURE, bytes(70))], k.PLAIN))
        run("sign", self.path("b.kpk"), "-k", DEV_KEY)
        magic, _, out = k.parse(self.read("b.kpk"))
        self.assertEqual(magic, k.PLAIN)
        types = [t for t, _ in out]
        self.assertEqual(types, [18, 20, 1, 2, 3, 7, 4, 9, 1, 2, 3, 7, 4, 9])
        public = kpksig.public_key_of(DEV_SCALAR)[0]
        for start, end in ((2, 7), (8, 13)):
            member = b"".join(k.part(t, body) for t, body in out[start:end + 1])
            record = out[end][1]
            digest = kpksig.sha1(member[:-68])
            self.assertTrue(kpksig.verify_record(TRUST, digest, record, public))
        if DEV_IS_TRUSTED:
            self.assertEqual(self.verify(self.read("b.kpk")),
                             (0, "alpha-1.2: signed\nbeta-1.2: signed\n"))

    def test_refuses_damaged_archives(self):
        for data, why in ((b"\x1e\xf1\xd0\xba\x00", "no file header"),
                          (bytes(8), "unknown magic"),
                          (k.archive([k.part(k.DESCRIPTION, b"x")]), "no package"),
                          (k.archive(small_package())[:-3], "cut short")):
            p = run("sign", self.write("bad.kpk", data), "-k", DEV_KEY, check=False)
            self.assertNotEqual(p.returncode, 0)
            self.assertIn(why, p.stderr)
            self.assertEqual(self.read("bad.kpk"), data)  # untouched

    def test_verify_with_an_explicit_key(self):
        run("keygen", self.path("k.key"), self.path("k.pub"))
        self.write("in.kpk", k.archive(small_package()))
        run("sign", self.path("in.kpk"), "-k", self.path("k.key"))
        self.assertEqual(self.verify(self.read("in.kpk"), "-k", self.path("k.pub")),
                         (0, "netcfg-1.2: signed\n"))
        self.assertEqual(self.verify(self.read("in.kpk"))[0], 1)  # not the built-in key


@unittest.skipUnless(DEV_IS_TRUSTED, "the build does not trust the development key")
class Verify(unittest.TestCase):
    """kpk verify judges packages as the installer does, with the built-in key and list."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.file = os.path.join(self.dir.name, "v.kpk")

    def verify(self, parts):
        with open(self.file, "wb") as f:
            f.write(k.archive(parts))
        p = run("verify", self.file, check=False)
        return p.returncode, p.stdout

    def test_independently_signed_package(self):
        parts = small_package()
        self.assertEqual(self.verify(parts + [signature_part(parts)]), (0, "netcfg-1.2: signed\n"))
        self.assertEqual(self.verify(parts), (1, "netcfg-1.2: not genuine\n"))

    def test_every_changed_byte_of_the_package_fails(self):
        parts = small_package(files=())
        signed = b"".join(parts) + signature_part(parts)
        # From the PackageHeader part header to the signature part's header, and the record.
        for i in range(len(signed)):
            damaged = bytearray(signed)
            damaged[i] ^= 0x20
            self.assertEqual(self.verify([bytes(damaged)])[0], 1, f"byte {i}")

    def test_bytes_after_the_record_do_not_matter(self):
        parts = small_package()
        for tail in (b"x", b"more bytes after the record"):
            self.assertEqual(self.verify(parts + [signature_part(parts, tail=tail)])[0], 0)
        # A part of 67 bytes is too short for a record.
        self.assertEqual(self.verify(parts + [signature_part(parts, length=67)])[0], 1)

    def test_challenge_must_take_bytes_8_to_23(self):
        parts = small_package()
        self.assertEqual(self.verify(parts + [signature_part(parts, offset=0)])[0], 1)
        self.assertEqual(self.verify(parts + [signature_part(parts, offset=8)])[0], 0)

    def test_another_key_fails(self):
        parts = small_package()
        other = int.from_bytes(os.urandom(32), "little") % kpksig.L
        self.assertEqual(self.verify(parts + [signature_part(parts, scalar=other)])[0], 1)

    @unittest.skipUnless(kpksig.sha1(b"".join(TRUSTED_PARTS)) in TRUST.trusted,
                         "the trusted test package is not on this build's list")
    def test_trusted_digest(self):
        signed = small_package()
        signed += [signature_part(signed)]
        self.assertEqual(self.verify(TRUSTED_PARTS), (0, "trustedtest-1.0: trusted digest\n"))
        self.assertEqual(self.verify(TRUSTED_PARTS + signed),
                         (0, "trustedtest-1.0: trusted digest\nnetcfg-1.2: signed\n"))
        # Another wanted part after it: no fresh digest, rejected.
        self.assertEqual(self.verify(TRUSTED_PARTS + [k.part(k.FILE_DATA, bytes.fromhex("789c030000000001"))]),
                         (1, "trustedtest-1.0: not genuine\n"))
        # A package after a bad one is still judged on its own.
        self.assertEqual(self.verify(small_package("stray") + TRUSTED_PARTS),
                         (1, "stray-1.2: not genuine\ntrustedtest-1.0: trusted digest\n"))


if __name__ == "__main__":
    unittest.main()
