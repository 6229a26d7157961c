#!/usr/bin/env python3
"""The first sector's boot code in a PC emulator (qemu-system-i386 with its own BIOS).

A disk gets the boot code in bytes 0..183, a partition table written by the medium's
sfdisk, and, in the active partition's first sector, a small boot sector of this test that
reports on the serial line what it was handed (SI at the relocated entry, DL the boot disk).
The screen is read through the emulator's monitor (text memory at 0xb8000), the BIOS's own
log through its debug port."""
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

BOOT_CODE = os.environ.get("BOOT_CODE", "build/generated/boot/boot_code.bin")
SFDISK = os.environ.get("SFDISK", "build/bin/sfdisk")
QEMU = shutil.which("qemu-system-i386")
AS = shutil.which("as")
HEADS, SECTORS = 255, 63

# Writes SI (two bytes, low first) and DL as it was handed them to COM1, then a marker, and
# stops.
PARTITION_BOOT_SECTOR = r"""
	.code16
	.text
start:
	movw	%dx, %bp
	movw	$0x3f8, %dx
	movw	%si, %ax
	outb	%al, %dx
	movb	%ah, %al
	outb	%al, %dx
	movw	%bp, %ax
	outb	%al, %dx
	xorw	%ax, %ax
	movw	%ax, %ds
	movw	$0x7c00 + (text - start), %si
1:	lodsb
	testb	%al, %al
	jz	2f
	outb	%al, %dx
	jmp	1b
2:	hlt
	jmp	2b
text:	.asciz	" PARTITION-BOOTED\n"
	.org	510
	.word	0xaa55
"""


@unittest.skipUnless(QEMU and AS, "qemu-system-i386 or the GNU assembler is missing")
class BootCode(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bootcode-")
        self.addCleanup(shutil.rmtree, self.dir)
        source = os.path.join(self.dir, "pbs.S")
        with open(source, "w") as f:
            f.write(PARTITION_BOOT_SECTOR)
        obj, self.pbs = os.path.join(self.dir, "pbs.o"), os.path.join(self.dir, "pbs.bin")
        subprocess.run([AS, "--32", "-o", obj, source], check=True)
        subprocess.run(["objcopy", "-O", "binary", "-j", ".text", obj, self.pbs], check=True)
        with open(BOOT_CODE, "rb") as f:
            self.code = f.read()
        self.assertEqual(len(self.code), 184)

    def disk(self, script, signature=True, patch=None):
        """Three cylinders; our first sector; a table from sfdisk; the partition's sector."""
        path = os.path.join(self.dir, "disk.img")
        with open(path, "wb") as f:
            f.write(self.code + bytes(512 - 184))
            f.truncate(3 * HEADS * SECTORS * 512)
        p = subprocess.run([SFDISK, "-q", "-uC", path], input=script, text=True,
                           capture_output=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        with open(self.pbs, "rb") as f:
            pbs = f.read()
        with open(path, "r+b") as f:
            f.seek(SECTORS * 512)  # cylinder 0, head 1, sector 1
            f.write(pbs if signature else pbs[:510] + b"\0\0")
            for offset, value in (patch or {}).items():
                f.seek(offset)
                f.write(bytes([value]))
        return path

    def boot(self, image, wanted, where):
        """Runs the emulator until wanted shows up on the serial line (bytes) or the screen
        (text), or 60 seconds pass. Returns (serial bytes, screen text, BIOS log)."""
        serial, bios = os.path.join(self.dir, "serial"), os.path.join(self.dir, "bios")
        monitor, screen = os.path.join(self.dir, "monitor"), os.path.join(self.dir, "screen")
        for f in (serial, bios, screen):
            open(f, "w").close()
        qemu = subprocess.Popen(
            [QEMU, "-nodefaults", "-vga", "std", "-display", "none", "-no-reboot",
             "-drive", f"file={image},format=raw,if=ide", "-boot", "c",
             "-serial", f"file:{serial}", "-monitor", f"unix:{monitor},server,nowait",
             "-chardev", f"file,id=bios,path={bios}",
             "-device", "isa-debugcon,iobase=0x402,chardev=bios"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = ""
        try:
            deadline = time.time() + 60
            while not os.path.exists(monitor) and time.time() < deadline:
                time.sleep(0.1)
            mon = socket.socket(socket.AF_UNIX)
            mon.connect(monitor)
            while time.time() < deadline:
                time.sleep(0.5)
                os.unlink(screen)
                mon.sendall(f'pmemsave 0xb8000 4000 "{screen}"\n'.encode())
                for _ in range(20):
                    if os.path.exists(screen) and os.path.getsize(screen) == 4000:
                        break
                    time.sleep(0.05)
                with open(screen, "rb") as f:
                    text = f.read()[0::2].decode("latin-1")
                with open(serial, "rb") as f:
                    if wanted in (f.read() if where == "serial" else text):
                        break
            mon.sendall(b"quit\n")
            qemu.wait(timeout=10)
            mon.close()
        finally:
            if qemu.poll() is None:
                qemu.kill()
                qemu.wait()
        with open(serial, "rb") as f, open(bios, errors="replace") as g:
            return f.read(), text, g.read()

    def test_active_partition_is_started_with_its_entry(self):
        # SI points at the active entry in the copy at 0x600 (entries at 0x7be), DL is the
        # first hard disk.
        serial, screen, _ = self.boot(self.disk("0,1,83,*\n"), b"BOOTED", "serial")
        self.assertEqual(serial, b"\xbe\x07\x80 PARTITION-BOOTED\n")
        self.assertNotIn("operating system", screen)
        serial, _, _ = self.boot(self.disk("0,0,0\n0,0,0\n0,1,83,*\n"), b"BOOTED", "serial")
        self.assertEqual(serial, b"\xde\x07\x80 PARTITION-BOOTED\n")

    def test_failures_end_in_their_messages(self):
        cases = [
            # A flag byte that is neither 0 nor 0x80 before the active entry.
            ("0,1,83,*\n", True, {446: 0x12}, "Missing operating system"),
            # The partition's sector lacks the signature.
            ("0,1,83,*\n", False, None, "Missing operating system"),
            # The entry names cylinder 1000 of a three-cylinder disk: every read fails.
            ("0,1,83,*\n", True, {448: 1 | (1000 >> 8) << 6, 449: 1000 & 0xFF},
             "Error loading operating system"),
        ]
        for script, signature, patch, message in cases:
            serial, screen, _ = self.boot(self.disk(script, signature, patch), message, "screen")
            self.assertIn(message, screen, (script, patch))
            self.assertEqual(serial, b"")

    def test_no_active_partition_hands_back_to_the_bios(self):
        _, screen, bios = self.boot(self.disk("0,1,83,-\n"), "No bootable device", "screen")
        self.assertIn("No bootable device", screen)
        self.assertNotIn("operating system", screen)
        self.assertIn("handle_18", bios)  # the boot failure interrupt


if __name__ == "__main__":
    unittest.main()
