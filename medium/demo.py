#!/usr/bin/env python3
"""A complete CD-ROM installation in a virtual PC, its console shown live: boots the CD
that medium/build made with an empty virtual disk, answers the menu and the two questions
(or lets you do it with --interactive), and finally shows what was installed on the disk.

Usage: demo.py [--interactive] [--media DIR] [--disk FILE]"""
import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "lib"))
import installed_disk  # noqa: E402
import vm  # noqa: E402

SECTORS = 64 * 16065  # 64 cylinders, 526 MB: one journalled root partition
BOLD, RESET = "\x1b[1;36m", "\x1b[0m"


def say(text):
    sys.stdout.write("\n%s[demo] %s%s\n" % (BOLD, text, RESET))
    sys.stdout.flush()


def answered(m):
    """Drives the installation; returns the seconds from kernel start to "Software
    installed.", or None when the installer stopped with a fatal error."""
    got = m.expect(vm.MENU_READY + r"|FATAL ERROR: [^\n]*", 600)
    if got.group(0).startswith("FATAL ERROR"):
        m.expect(r"Press ENTER to reboot", 60)
        say("the installer stopped (%s); Enter" % got.group(0))
        m.send("\r")
        m.wait_exit(120)
        return None
    say("selecting all packages ('a') and installing them ('i')")
    m.send(["a", "i"])
    m.expect(r"Do you want to keep old configuration\?  \[y/n\]:", 60)
    say("a new disk has no old configuration: 'n'")
    m.send("n")
    m.expect(r"Continue\? \[y/n\]:", 30)
    say("'y': the virtual disk may be erased")
    m.send("y")
    m.expect(r"\nSoftware installed\.\n", 1800)
    m.expect(r"Press ENTER to reboot", 60)
    say("Enter")
    m.send("\r")
    m.wait_exit(120)
    start, done = m.time_of("Linux version"), m.time_of("Software installed.")
    return done - start


def interactive(machine):
    argv = [a if a != "stdio" else "mon:stdio" for a in machine.argv]
    say("the console is yours: arrow keys, space, 'a', 'i' in the menu, then y/n. "
        "Ctrl-A X switches the virtual PC off.")
    subprocess.run(argv)


def show(image, scratch):
    """What is on the virtual disk now, read from the image itself."""
    say("what the installer put on the virtual disk %s" % image)
    print(subprocess.run(["sfdisk", "-l", image], capture_output=True, text=True).stdout)
    with open(image, "rb") as f:
        mbr = f.read(512)
    layout = installed_disk.Layout(*installed_disk.kernel_geometry(SECTORS))
    number = 2 if layout.two_partitions else 1
    entry = mbr[446 + 16 * (number - 1): 462 + 16 * (number - 1)]
    start, count = (int.from_bytes(entry[8:12], "little"), int.from_bytes(entry[12:16], "little"))
    if not count:
        print("No root partition: the installation did not get that far.")
        return 1
    root = installed_disk.ExtFs(image, start, count, scratch, "root")
    status, output = root.fsck()
    summary = [line for line in output.splitlines() if " files " in line]
    print("e2fsck -fn of the root file system:", (summary or ["(no summary)"])[-1])
    entries = root.entries()
    names = sorted({p.split("/")[3] for p in entries if p.startswith("/var/pdb/") and p.count("/") == 3})
    print("\nInstalled packages (/var/pdb):")
    for name in names:
        version, build = root.read("/var/pdb/%s/version" % name).split()
        v = int(version)
        text = "%d.%d" % (v >> 24, (v >> 16) & 0xFF)
        stage = {ord("a"): "alpha", ord("b"): "beta", ord("c"): "rc", ord("f"): ""}.get((v >> 8) & 0xFF, "?")
        text += stage + (("." if not stage else "") + str(v & 0xFF) if v & 0xFF else "")
        bundle = ("  (in bundle %s)" % root.read("/var/pdb/%s/bundle" % name).decode().strip()
                  if "/var/pdb/%s/bundle" % name in entries else "")
        print("  %-10s %s%s" % (name, text, bundle))
    for path in ("/etc/lilo.conf", "/etc/fstab", "/var/log/postinstall.log"):
        if path in entries:
            print("\n%s:" % path)
            print(root.read(path).decode().rstrip())
    files = sum(1 for p, e in entries.items() if e and not (e[0] & 0o40000))
    print("\n%d files and links on the root file system; e2fsck status %d." % (files, status))
    return 0 if status == 0 else 1


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--interactive", action="store_true", help="type the answers yourself")
    p.add_argument("--media", default=os.path.join(TOP, "build-medium", "media"))
    p.add_argument("--disk", default=os.path.join(TOP, "build-medium", "demo-disk.img"))
    args = p.parse_args()
    why = vm.qemu_missing()
    if why:
        sys.exit("demo: " + why)
    with open(args.disk, "wb") as f:
        f.truncate(SECTORS * 512)
    say("booting the installation CD in a virtual PC (software emulation; about a minute "
        "to the menu), with an empty %d MB virtual disk" % (SECTORS * 512 // 1000000))
    machine = vm.Machine(os.path.join(os.path.dirname(args.disk), "demo-console.log"),
                         cdrom=os.path.join(args.media, "cdrom.iso"), disks=[args.disk],
                         boot="d", live=not args.interactive)
    if args.interactive:
        interactive(machine)
    else:
        with machine as m:
            seconds = answered(m)
        if seconds is None:
            return 1
        say("%.0f s from kernel start to \"Software installed.\"; the virtual PC has "
            "rebooted and stopped" % seconds)
    with tempfile.TemporaryDirectory(prefix="kest-demo-") as scratch:
        return show(args.disk, scratch)


if __name__ == "__main__":
    sys.exit(main())
