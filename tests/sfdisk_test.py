#!/usr/bin/env python3
"""The medium's sfdisk on disk images, checked with util-linux's sfdisk and by decoding the
table's bytes here (LBA and CHS fields, signature, the boot code left alone)."""
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest

SFDISK = os.environ.get("SFDISK", "build/bin/sfdisk")
UTIL_SFDISK = shutil.which("sfdisk", path="/usr/sbin:/sbin:/usr/bin:/bin")


def run(*args, stdin=""):
    return subprocess.run([SFDISK, *args], input=stdin, capture_output=True, text=True)


def entries(image):
    """The four primary entries: (flag, chs start, type, chs end, lba start, size)."""
    with open(image, "rb") as f:
        sector = f.read(512)
    out = []
    for i in range(4):
        e = sector[446 + 16 * i:462 + 16 * i]
        out.append((e[0], e[1:4], e[4], e[5:8], *struct.unpack("<II", e[8:16])))
    return out


def chs(lba, heads, sectors):
    c, h, s = lba // (heads * sectors), lba // sectors % heads, lba % sectors + 1
    if c > 1023:
        c, h, s = 1023, heads - 1, sectors
    return bytes([h, s | (c >> 8) << 6, c & 0xFF])


def util_dump(image):
    """(start, size, type, bootable) of every partition util-linux's sfdisk lists."""
    out = subprocess.run([UTIL_SFDISK, "-d", image], capture_output=True, text=True).stdout
    parts = []
    for line in out.splitlines():
        if " : " not in line:
            continue
        fields = dict(f.strip().split("=") for f in line.split(" : ")[1].split(",") if "=" in f)
        parts.append((int(fields["start"]), int(fields["size"]), int(fields["type"], 16),
                      "bootable" in line))
    return parts


def our_dump(image):
    lines = run("-d", "-uC", image).stdout.splitlines()
    return [line for line in lines if line.startswith(image)]


@unittest.skipUnless(UTIL_SFDISK, "util-linux sfdisk is not installed")
class Sfdisk(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def image(self, size, content=b""):
        path = os.path.join(self.dir.name, "disk.img")
        with open(path, "wb") as f:
            f.write(content)
            f.truncate(size)
        return path

    def test_geometry_and_a_new_table(self):
        # 100 cylinders of 16 heads and 63 sectors and a partial one; random old bytes.
        rng = random.Random(7)
        old = bytes(rng.randrange(256) for _ in range(4096))
        img = self.image(100 * 16 * 63 * 512 + 5000, old)
        self.assertEqual(run("-g", img).stdout, f"{img}: 6 cylinders, 255 heads, 63 sectors/track\n")
        self.assertEqual(run("-g", "-H", "16", "-S", "63", img).stdout,
                         f"{img}: 100 cylinders, 16 heads, 63 sectors/track\n")
        self.assertEqual(our_dump(img), [])  # random bytes: no signature, no table

        p = run("-q", "-uC", "-H", "16", "-S", "63", img, stdin="0,2,83,*\n2,98,83,-\n0,0,0\n0,0,0\n")
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, "", ""))
        with open(img, "rb") as f:
            data = f.read(4096)
        self.assertEqual(data[:446], old[:446])
        self.assertEqual(data[510:512], b"\x55\xaa")
        self.assertEqual(data[512:], old[512:])
        cyl = 16 * 63
        want = [(63, 2 * cyl - 63, 0x83, True), (2 * cyl, 98 * cyl, 0x83, False)]
        self.assertEqual(util_dump(img), want)
        for (start, size, kind, boot), e in zip(want, entries(img)):
            self.assertEqual(e, (0x80 if boot else 0, chs(start, 16, 63), kind,
                                 chs(start + size - 1, 16, 63), start, size))
        self.assertEqual(entries(img)[2:], [(0, b"\0\0\0", 0, b"\0\0\0", 0, 0)] * 2)
        self.assertEqual(our_dump(img), [
            f"{img}1 : start=        63, size=      1953, Id=83, bootable",
            f"{img}2 : start=      2016, size=     98784, Id=83",
            f"{img}3 : start=         0, size=         0, Id= 0",
            f"{img}4 : start=         0, size=         0, Id= 0"])

    def test_cylinders_past_1023_in_chs_fields(self):
        img = self.image(1100 * 255 * 63 * 512)
        self.assertIn(": 1100 cylinders, 255 heads", run("-g", img).stdout)
        p = run("-q", "-uC", img, stdin="0,2,83,*\n2,1098,83,-\n")
        self.assertEqual(p.returncode, 0, p.stderr)
        second = entries(img)[1]
        self.assertEqual(second[1], chs(2 * 255 * 63, 255, 63))
        self.assertEqual(second[3], bytes([254, 63 | 3 << 6, 0xFF]))  # 1023/254/63

    def test_bad_scripts_change_nothing(self):
        img = self.image(100 * 16 * 63 * 512)
        geometry = ["-H", "16", "-S", "63"]
        self.assertEqual(run("-q", "-uC", *geometry, img, stdin="0,50,83,*\n").returncode, 0)
        with open(img, "rb") as f:
            before = f.read(512)
        for script in ["0,5,83,*\n3,5,83,-\n",          # overlap
                       "0,101,83,*\n",                  # past the end
                       "0,5,83\n0,0,0\n0,0,0\n0,0,0\n6,1,83\n",  # a logical partition
                       "0,5,83,x\n",                    # bad flag
                       "0,5,0\n",                       # no type
                       "a,b\n", "1\n", "", "\n"]:
            p = run("-q", "-uC", *geometry, img, stdin=script)
            self.assertEqual(p.returncode, 1, script)
            self.assertTrue(p.stderr.startswith(f"sfdisk: {img}: "), p.stderr)
            with open(img, "rb") as f:
                self.assertEqual(f.read(512), before, script)
        self.assertEqual(run("-q", "-uC", os.path.join(self.dir.name, "none"),
                             stdin="0,1,83\n").returncode, 1)
        self.assertEqual(run("-x").returncode, 1)

    def test_an_old_gpt_is_cleared(self):
        # util-linux makes a GPT disk (protective entry, header in sector 1 and a copy in the
        # last sector); after our table no util-linux tool finds a GPT signature.
        img = self.image(200 * 16 * 63 * 512 + 3 * 512)
        subprocess.run([UTIL_SFDISK, "-q", img], input="label: gpt\n,4M\n", text=True,
                       check=True, capture_output=True)
        with open(img, "rb") as f:
            data = f.read()
        self.assertEqual(data[512:520], b"EFI PART")
        self.assertEqual(data[-512:-504], b"EFI PART")
        p = run("-q", "-uC", "-H", "16", "-S", "63", img, stdin="0,200,83,*\n0,0,0\n")
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(img, "rb") as f:
            after = f.read()
        self.assertEqual(after[512:1024], bytes(512))
        self.assertEqual(after[-512:], bytes(512))
        self.assertEqual(after[1024:-512], data[1024:-512])  # nothing else changed
        wipefs = shutil.which("wipefs", path="/usr/sbin:/sbin:/usr/bin:/bin")
        if wipefs:
            types = subprocess.run([wipefs, "--noheadings", "--output", "TYPE", img],
                                   capture_output=True, text=True).stdout
            self.assertEqual(types, "dos\n")
        self.assertEqual(util_dump(img), [(63, 200 * 16 * 63 - 63, 0x83, True)])

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("losetup"), "needs root and losetup")
    def test_a_disk_of_4096_byte_sectors_is_not_written(self):
        img = self.image(64 << 20)
        loop = subprocess.run(["losetup", "--show", "-f", "--sector-size", "4096", img],
                              capture_output=True, text=True)
        if loop.returncode != 0:
            self.skipTest("no loop device: " + loop.stderr)
        device = loop.stdout.strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device])
        p = run("-q", "-uC", device, stdin="0,5,83,*\n")
        self.assertEqual((p.returncode, p.stderr),
                         (1, f"sfdisk: {device}: sectors of 4096 bytes are not supported\n"))
        with open(img, "rb") as f:
            self.assertEqual(f.read(4096), bytes(4096))


if __name__ == "__main__":
    unittest.main()
