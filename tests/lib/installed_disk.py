"""The host-side check of a disk that the installer has installed, shared by every mode of the
virtual-machine tests. It reads the disk image with independent tools only: util-linux
sfdisk for the partition table, e2fsck -fn, dumpe2fs and debugfs for the file systems (no
mount, no root), the kpkfmt reader for the package archives that were installed.

check_installed_disk() fails the calling test with a list of everything that differs."""
import os
import re
import stat
import subprocess
import sys
import json
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kpkfmt as k  # noqa: E402

SECTOR = 512


def kernel_geometry(capacity):
    """(heads, sectors, cylinders) that Linux reports (HDIO_GETGEO) for a disk of the
    emulated PC, which libata drives: 255 heads and 63 sectors whatever the disk holds."""
    return 255, 63, capacity // (255 * 63)


class Layout:
    """The partition layout the installer chooses for a geometry."""

    def __init__(self, heads, sectors, cylinders):
        self.track = sectors
        self.cylinder = heads * sectors  # sectors per cylinder
        self.cylinders = cylinders
        cylinder_size = self.cylinder * SECTOR
        self.two_partitions = cylinders > 1023
        self.journal = cylinders * cylinder_size > 40 << 20
        self.boot_cylinders = (cylinder_size + 10485759) // cylinder_size


def run(*argv, check=True):
    r = subprocess.run(argv, capture_output=True, text=True, errors="replace")
    if check and r.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(argv), r.returncode, r.stdout,
                                                         r.stderr))
    return r


class ExtFs:
    """One ext2/ext3 file system of the image, start and count in sectors; the e2fsprogs
    tools read it in place (their "image?offset=" form)."""

    def __init__(self, image, start, count, scratch, name):
        self.path = "%s?offset=%d" % (image, start * SECTOR)
        self.size = count * SECTOR
        self.scratch = scratch
        self.name = name
        self.dump = None  # the files, copied out on first use
        self._entries = None

    def fsck(self):
        r = run("e2fsck", "-fn", self.path, check=False)
        return r.returncode, r.stdout + r.stderr

    def features(self):
        return re.search(r"Filesystem features:\s*(.*)", self.header()).group(1).split()

    def header(self):
        return run("dumpe2fs", "-h", self.path).stdout

    def fits(self):
        """Whether the file system ends within its partition."""
        h = self.header()
        count = int(re.search(r"Block count:\s*(\d+)", h).group(1))
        size = int(re.search(r"Block size:\s*(\d+)", h).group(1))
        return count * size <= self.size

    def debugfs(self, *commands, write=False):
        script = os.path.join(self.scratch, "debugfs.cmds")
        with open(script, "w") as f:
            f.write("\n".join(commands) + "\n")
        return run("debugfs", *(["-w"] if write else []), "-f", script, self.path).stdout

    def entries(self):
        """{path: (mode, uid, gid)} of every entry, "/" included."""
        if self._entries is None:
            self._entries = {"/": None}
            todo = ["/"]
            while todo:
                out = self.debugfs(*["ls -p " + d for d in todo])
                todo = []
                current = None
                for line in out.splitlines():
                    if line.startswith("debugfs: ls -p "):
                        current = line[len("debugfs: ls -p "):]
                        continue
                    m = re.match(r"^/(\d+)/(\d+)/(\d+)/(\d+)/(.*)/(\d*)/$", line)
                    if not m or current is None or m.group(1) == "0":
                        continue
                    name = m.group(5)
                    mode = int(m.group(2), 8)
                    path = (current.rstrip("/") + "/" + name)
                    if name == ".":
                        self._entries[current] = (mode, int(m.group(3)), int(m.group(4)))
                    elif name != "..":
                        self._entries[path] = (mode, int(m.group(3)), int(m.group(4)))
                        if stat.S_ISDIR(mode) and name != "lost+found":
                            todo.append(path)
        return self._entries

    def _copied(self, path):
        if self.dump is None:
            self.dump = tempfile.mkdtemp(prefix=self.name + "-", dir=self.scratch)
            self.debugfs("rdump / " + self.dump)
        return os.path.join(self.dump, path.lstrip("/"))

    def read(self, path):
        with open(self._copied(path), "rb") as f:
            return f.read()

    def link(self, path):
        return os.readlink(self._copied(path))

    def inode(self, path):
        return self.debugfs("stat " + path)


def expected_packages(archives):
    """What the installed archives promise: {name: dict(version, build, depends, provides,
    conflicts, files, bundle, image, install_script, archive)} for every package and bundle
    member, read with the independent kpkfmt reader."""
    packages = {}

    def refs(body):
        count = int.from_bytes(body[:2], "little")
        out = []
        for i in range(count):
            r = body[2 + 32 * i: 34 + 32 * i]
            name = r[:16].split(b"\0")[0].decode()
            lo, _, hi, prio = (int.from_bytes(r[16 + 4 * j: 20 + 4 * j], "little", signed=(j == 3))
                               for j in range(4))
            out.append((name, lo, hi, prio))
        return out

    for path in archives:
        with open(path, "rb") as f:
            data = f.read()
        _, _, parts = k.parse(data)
        bundle, current = None, None
        for ptype, body in parts:
            if ptype in (k.PACKAGE_HEADER, k.BUNDLE_HEADER):
                name = body[:16].split(b"\0")[0].decode()
                current = dict(name=name, version=int.from_bytes(body[16:20], "little"),
                               build=int.from_bytes(body[20:24], "little"), depends=[],
                               provides=[], conflicts=[], files=None, image=False,
                               install_script=False, archive=data, bundle=None,
                               is_bundle=ptype == k.BUNDLE_HEADER)
                if ptype == k.BUNDLE_HEADER:
                    bundle = name
                else:
                    current["bundle"] = bundle
                packages[name] = current
            elif ptype == k.DEPENDS:
                current["depends"] = refs(body)
            elif ptype == k.PROVIDES:
                current["provides"] = refs(body)
            elif ptype == k.CONFLICTS:
                current["conflicts"] = refs(body)
            elif ptype == k.FILE_DATA:
                current["files"] = k.parse_files(body)
            elif ptype == k.IMAGE:
                current["image"] = True
            elif ptype == k.INSTALL_SCRIPT:
                current["install_script"] = True
    return packages


class Report:
    def __init__(self):
        self.problems = []

    def expect(self, condition, text):
        if not condition:
            self.problems.append(text)
        return condition

    def equal(self, got, want, what):
        if isinstance(got, bytes) and isinstance(want, bytes) and got != want and \
                max(len(got), len(want)) > 64:
            at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b),
                      min(len(got), len(want)))
            return self.expect(False, "%s: differs from byte %d on (%d bytes, expected %d)"
                               % (what, at, len(got), len(want)))
        return self.expect(got == want, "%s: got %r, expected %r" % (what, got, want))


def check_installed_disk(test, image, archives, *, layout, device="/dev/sda", cdinstall=True,
                         autorun=None, kept=None, boot_code=None, old_mbr=None, scratch):
    """Checks an installed disk image against the archives that were installed, the layout
    the installer must have chosen, the markers of the mode (/CDINSTALL, or autorun.scr for
    the hard-disk mode), a kept configuration ({path: (content, mode, uid, gid, mtime)}),
    the boot code (bytes 0..183, when given) and the partition entries the old table
    (old_mbr) had beyond the new ones, which must be empty. Returns the root ExtFs."""
    r = Report()
    with open(image, "rb") as f:
        mbr = f.read(SECTOR)
    # The first sector: boot code, zeros up to the table, the table, the signature.
    if boot_code is not None:
        r.equal(mbr[:184], boot_code.ljust(184, b"\0"), "boot code")
    r.expect(any(mbr[:184]), "no boot code in the first sector")
    r.equal(mbr[184:446], bytes(262), "bytes 184..445 of the first sector")
    r.equal(mbr[510:512], b"\x55\xaa", "boot signature")

    # The partition table, as util-linux reads it.
    table = json.loads(run("sfdisk", "--json", image).stdout)["partitiontable"]
    parts = {int(re.search(r"(\d+)$", p["node"]).group(1)): p for p in table.get("partitions", [])}
    wanted = [(1, 0, layout.boot_cylinders, True), (2, layout.boot_cylinders,
              layout.cylinders - layout.boot_cylinders, False)] if layout.two_partitions \
        else [(1, 0, layout.cylinders, True)]
    for number, first_cyl, cyls, active in wanted:
        p = parts.get(number)
        if not r.expect(p is not None, "partition %d missing" % number):
            continue
        r.equal(p["type"], "83", "partition %d type" % number)
        r.equal(bool(p.get("bootable")), active, "partition %d active flag" % number)
        end = p["start"] + p["size"]
        r.equal(end, (first_cyl + cyls) * layout.cylinder, "end of partition %d (sector)" % number)
        lowest = first_cyl * layout.cylinder
        r.expect(lowest <= p["start"] < lowest + layout.cylinder,
                 "partition %d starts at sector %d, outside cylinder %d" % (number, p["start"],
                                                                         first_cyl))
    for number in range(len(wanted) + 1, 5):
        entry = mbr[446 + 16 * (number - 1): 462 + 16 * (number - 1)]
        r.equal(entry, bytes(16), "partition entry %d" % number)
    if old_mbr is not None:
        r.expect(any(old_mbr[446 + 16 * len(wanted): 510]),
                 "the old table had no entries beyond the new ones (test set-up)")

    # The file systems.
    def fs_of(number):
        p = parts[number]
        return ExtFs(image, p["start"], p["size"], scratch, "p%d" % number)

    if any(number not in parts for number, _, _, _ in wanted):
        test.fail("installed disk %s:\n  %s" % (image, "\n  ".join(r.problems)))
    root = fs_of(2 if layout.two_partitions else 1)
    status, output = root.fsck()
    r.equal(status, 0, "e2fsck -fn of the root file system (%s)" % output[-500:])
    r.expect(root.fits(), "the root file system is larger than its partition")
    r.equal("has_journal" in root.features(), layout.journal, "journal on the root file system")
    if layout.two_partitions:
        boot = fs_of(1)
        status, output = boot.fsck()
        r.equal(status, 0, "e2fsck -fn of the boot file system (%s)" % output[-500:])
        r.expect(boot.fits(), "the boot file system is larger than its partition")
        r.expect("has_journal" not in boot.features(), "the boot file system has a journal")
    entries = root.entries()

    # Boot loader configuration, file-system table, skeleton, markers.
    root_number = 2 if layout.two_partitions else 1
    fs_word = "ext3" if layout.journal else "ext2"
    r.equal(root.read("/etc/lilo.conf").decode(),
            "boot=%s1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\nimage=/boot/vmlinuz\n"
            "  label=System\n  root=%s%d\n  read-only\n" % (device, device, root_number),
            "/etc/lilo.conf")
    fstab = ("%s2  /     %s defaults 1 1\n%s1  /boot ext2 defaults 1 2\n"
             % (device, fs_word, device) if layout.two_partitions
             else "%s1  /     %s defaults 1 1\n" % (device, fs_word))
    fstab += "none /proc proc defaults 0 0\nnone /dev/pts devpts gid=5,mode=620 0 0\n"
    r.equal(root.read("/etc/fstab").decode(), fstab, "/etc/fstab")
    for path in ("/etc/lilo.conf", "/etc/fstab"):
        r.equal(stat.S_IMODE(entries[path][0]), 0o644, "mode of " + path)
    r.equal("/.nofsck" in entries, layout.journal, "/.nofsck present")
    for path in ("/rw", "/kest", "/kest/etc", "/var", "/var/pdb"):
        if r.expect(path in entries, path + " missing"):
            r.expect(stat.S_ISDIR(entries[path][0]), path + " is not a directory")
    r.equal("/CDINSTALL" in entries, cdinstall, "/CDINSTALL present")
    if cdinstall and "/CDINSTALL" in entries:
        r.equal(entries["/CDINSTALL"][0], 0o100600, "mode of /CDINSTALL")
    if autorun is not None:
        r.equal(root.read("/rw/autorun.scr"), autorun, "/rw/autorun.scr")

    # Every package: its files with their modes and owners, its database record.
    packages = expected_packages(archives)
    for name, p in sorted(packages.items()):
        record = "/var/pdb/%s/" % name
        if not r.expect(record + "version" in entries, "no database record for " + name):
            continue
        r.equal(root.read(record + "version").decode(), "%d %d\n" % (p["version"], p["build"]),
                record + "version")
        r.equal(root.read(record + "deps").decode(),
                "".join("%s %d %d\n" % d[:3] for d in p["depends"]), record + "deps")
        if p["provides"]:
            r.equal(root.read(record + "provides").decode(),
                    "".join("%s %d %d %d\n" % d for d in p["provides"]), record + "provides")
        r.equal(root.read(record + "bundle").decode() if record + "bundle" in entries else None,
                p["bundle"] + "\n" if p["bundle"] else None, record + "bundle")
        r.equal(record + "disabled" in entries, False, record + "disabled present")
        if p["is_bundle"]:
            r.expect(record + "files" not in entries, record + "files present for a bundle")
            continue
        listed = set(root.read(record + "files").decode().split("\n")) - {""}
        r.equal(record + "oninstall" in entries, p["install_script"] and not p["image"],
                record + "oninstall present")
        if p["image"]:
            r.expect(root.read(record + "image") == p["archive"],
                     record + "image is not the archive")
        for f in p["files"] or []:
            path = "/" + f["name"].strip("/")
            got = entries.get(path)
            if not r.expect(got is not None, "%s of %s missing" % (path, name)):
                continue
            r.equal(got, (f["mode"], f["uid"], f["gid"]), "mode and owner of " + path)
            kind = stat.S_IFMT(f["mode"])
            if kind != stat.S_IFDIR:
                r.expect(path.lstrip("/") in listed, "%s not in %sfiles" % (path, record))
            if kind == stat.S_IFREG:
                r.expect(root.read(path) == f["content"], "content of %s differs" % path)
            elif kind == stat.S_IFLNK:
                r.equal(root.link(path), f["content"].decode(), "target of " + path)
            elif kind in (stat.S_IFCHR, stat.S_IFBLK):
                number = int.from_bytes(f["content"], "little")
                major, minor = (number >> 8) & 0xFFF, (number & 0xFF) | ((number >> 12) & ~0xFF)
                m = re.search(r"Device major/minor number: (\d+):(\d+)", root.inode(path))
                r.equal((int(m.group(1)), int(m.group(2))) if m else None, (major, minor),
                        "device number of " + path)
    installed = {e.split("/")[3] for e in entries if e.startswith("/var/pdb/") and e.count("/") == 3}
    r.equal(installed, set(packages), "packages in /var/pdb")

    # The configuration kept from the previous installation.
    for path, (content, mode, uid, gid, mtime) in (kept or {}).items():
        if not r.expect(path in entries, "kept %s missing" % path):
            continue
        r.equal(entries[path], (mode, uid, gid), "mode and owner of kept " + path)
        if stat.S_ISREG(mode):
            r.equal(root.read(path), content, "content of kept " + path)
        if mtime is not None:
            m = re.search(r"mtime: (0x[0-9a-f]+)", root.inode(path))
            r.equal(int(m.group(1), 16) if m else None, mtime, "time of kept " + path)

    if r.problems:
        test.fail("installed disk %s:\n  %s" % (image, "\n  ".join(r.problems)))
    return root


def configure(fs, commands):
    """Changes a file system of an installed image in place with debugfs -w (the way a user
    would have configured the router before reinstalling it)."""
    fs.debugfs(*commands, write=True)


MARKER = b"KEST-MARKER: the active partition's boot sector runs"
MARKER_WRONG_ENTRY = b"KEST-MARKER: SI does not point at the active partition entry"


def marker_boot_sector():
    """A boot sector for the active partition that proves it was started by the disk's
    boot code: loaded at 0:7C00, it checks that SI points at a partition entry flagged
    active (0x80), writes MARKER (or MARKER_WRONG_ENTRY) to the first serial port and
    halts. 16-bit real-mode code, assembled here byte by byte."""
    ok_text = MARKER + b"\r\n\0"
    bad_text = MARKER_WRONG_ENTRY + b"\r\n\0"
    code = bytearray()
    code += b"\xfa\xfc"                      # cli; cld
    code += b"\x31\xc0"                      # xor ax, ax
    code += b"\x8e\xd8"                      # mov ds, ax
    code += b"\x80\x3c\x80"                  # cmp byte [si], 0x80
    jne_at = len(code)
    code += b"\x75\x00"                      # jne bad
    ok_imm = len(code) + 1
    code += b"\xbe\x00\x00"                  # mov si, ok_text
    jmp_at = len(code)
    code += b"\xeb\x00"                      # jmp print
    bad = len(code)
    bad_imm = len(code) + 1
    code += b"\xbe\x00\x00"                  # bad: mov si, bad_text
    print_at = len(code)
    code += b"\xba\xf8\x03"                  # print: mov dx, 0x3f8
    loop = len(code)
    code += b"\xac"                          # loop: lodsb
    code += b"\x84\xc0"                      # test al, al
    code += b"\x74\x03"                      # jz done
    code += b"\xee"                          # out dx, al
    code += bytes([0xEB, (loop - (len(code) + 2)) & 0xFF])  # jmp loop
    done = len(code)
    code += b"\xf4"                          # done: hlt
    code += bytes([0xEB, (done - (len(code) + 2)) & 0xFF])  # jmp done
    code[jne_at + 1] = bad - (jne_at + 2)
    code[jmp_at + 1] = print_at - (jmp_at + 2)
    ok_addr = 0x7C00 + len(code)
    code += ok_text
    bad_addr = 0x7C00 + len(code)
    code += bad_text
    code[ok_imm:ok_imm + 2] = ok_addr.to_bytes(2, "little")
    code[bad_imm:bad_imm + 2] = bad_addr.to_bytes(2, "little")
    assert len(code) <= 446
    return bytes(code) + bytes(510 - len(code)) + b"\x55\xaa"


def put_marker(image):
    """Writes the marker boot sector into the first sector of the active partition."""
    with open(image, "r+b") as f:
        mbr = f.read(SECTOR)
        for i in range(4):
            e = mbr[446 + 16 * i: 462 + 16 * i]
            if e[0] == 0x80:
                f.seek(int.from_bytes(e[8:12], "little") * SECTOR)
                f.write(marker_boot_sector())
                return
    raise AssertionError("no active partition in " + image)
