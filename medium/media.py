#!/usr/bin/env python3
"""Builds the installation media from the installer, our partitioning tool, the fetched
Debian i386 packages (medium/fetch) and the package archives:

  vmlinuz            the medium's kernel
  ramdisk.img        the RAM system: the installer as init behind the test medium's pre-init,
                     the kernel modules at the paths of the installer's lists, sfdisk, mke2fs
  cdrom.img          the same with /TYPE "cdrom" (the boot side of the CD)
  net.img            the net-boot RAM system: /TYPE "net", without the storage and USB
                     modules, which the driver package brings over the network
  drivers/           the tree of the driver package (those modules), for packages/build
  cdrom.iso          the bootable CD: kernel and cdrom.img, the package archives on top
  hdd.img            the hard-disk medium: a FAT file system over the whole device that boots
                     the RAM system with "-hdd-install", with mbr, autorun.scr, the archives
  modules.txt        where every module came from, what the pre-init loads, what is missing
  release            the kernel's release

Usage: media.py ram --cache DIR --installer FILE [--sfdisk FILE] --module-lists FILE --out DIR
       media.py discs --packages DIR --out DIR
"""
import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cpio  # noqa: E402
import debian  # noqa: E402
import kernel as kernel_mod  # noqa: E402

# Modules of the emulated PC that the installer's lists do not name: the file systems of its
# media and target (vfat, ext2/ext3 through ext4) with their code pages, and its network card.
PREINIT_MODULES = ["vfat", "nls_cp437", "nls_ascii", "nls_utf8", "ext4", "crc32c_generic",
                   "e1000"]
# Needs the CD-ROM driver of the installer's storage list, so it is loaded only when the
# installer's first CD mount asks the kernel for the file system.
ON_DEMAND = {"fs-iso9660": "isofs"}

# The kernel's command line on the media: the serial line is the console of the test PC, and
# a kernel that panics restarts (which ends a virtual machine run with -no-reboot).
CMDLINE = "console=ttyS0,115200 panic=1"

PREINIT = """#!/bin/busybox sh
# Pre-init of the test medium. The emulated PC needs a few kernel modules that the
# installer's lists do not name (file systems, network card, helpers of listed drivers);
# they are loaded here, then the installer takes over as init.
/bin/busybox mount -t devtmpfs devtmpfs /dev
modules=/lib/modules/{release}
loaded=""
while read -r module; do
  if /bin/busybox insmod "$modules/$module"; then
    loaded="$loaded ${{module##*/}}"
  else
    echo "pre-init: could not load $module"
  fi
done < /etc/preinit-modules
echo "pre-init: loaded$loaded"
echo "pre-init: starting the installer: /sbin/init $*"
exec /sbin/init "$@"
"""

MODPROBE = """#!/bin/busybox sh
# The kernel runs "modprobe -q -- NAME" when it lacks a module, for example a file-system type
# at mount time. Only the modules that cannot be loaded before the installer's own lists are
# served here; every other request fails, as on a system without the module.
for name; do :; done
case "$name" in
{cases}
esac
exit 1
"""

ISOLINUX_CFG = """serial 0 115200
default install
prompt 0
timeout 0
label install
  kernel /boot/vmlinuz
  append initrd=/boot/cdrom.img {cmdline}
"""

SYSLINUX_CFG = """SERIAL 0 115200
DEFAULT install
PROMPT 0
TIMEOUT 0
LABEL install
  KERNEL vmlinuz
  APPEND initrd=ramdisk.img {cmdline} -- -hdd-install
"""

AUTORUN = """# Configuration script of this hard-disk installation; the installer copies it to
# /rw/autorun.scr on the new system, which runs it once at its first start.
hostname router-hdd
"""


def run(*argv):
    """Runs a tool; its output is shown only when it fails."""
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(argv), r.stdout))


def read_lists(path):
    listed = {"startup": [], "storage": [], "usb": []}
    with open(path) as f:
        for line in f:
            kind, module = line.split()
            listed[kind].append(module)
    return listed


def ram_system(args, deb, kern, plan, listed_kinds):
    """The RAM system's archive, with the listed modules of the given lists."""
    placed, preinit, _, refused = plan
    a = cpio.Archive()
    for d in ("bin", "sbin", "etc", "lib", "proc", "sys", "floppy", "flash", "ram", "tmp"):
        a.directory(d)
    a.directory("dev")
    a.char_device("dev/console", 5, 1)
    a.char_device("dev/null", 1, 3, 0o666)
    a.host_file("bin/busybox", deb.find("/bin/busybox"), 0o755)
    a.file("init", PREINIT.format(release=kern.release).encode(), 0o755)
    cases = "".join("  %s|%s) exec /bin/busybox insmod /lib/modules/%s/%s ;;\n"
                    % (alias, name, kern.release, kern.paths[name])
                    for alias, name in ON_DEMAND.items())
    a.file("sbin/modprobe", MODPROBE.format(cases=cases).encode(), 0o755)
    a.host_file("sbin/init", args.installer, 0o755)
    if args.sfdisk:
        a.host_file("sbin/sfdisk", args.sfdisk, 0o755)
    plain, links = debian.files_and_links(deb.with_libraries("/sbin/mke2fs"))
    for target, host in plain.items():
        a.host_file(target, host, 0o755)
    for target, link in links.items():
        a.symlink(target, link)
    a.host_file("etc/mke2fs.conf", deb.find("/etc/mke2fs.conf"), 0o644)

    base = "lib/modules/%s/" % kern.release
    for kind in listed_kinds:
        for path in args.listed[kind]:
            if path in placed and path not in refused:
                a.file(base + path, kern.data(placed[path]))
    for name in preinit + list(ON_DEMAND.values()):
        a.file(base + kern.paths[name], kern.data(name))
    a.file("etc/preinit-modules", "".join(kern.paths[n] + "\n" for n in preinit).encode())
    return a


def overlay(mode):
    a = cpio.Archive()
    a.file("TYPE", (mode + "\n").encode())
    return a.gzip()


def driver_tree(out, kern, plan, listed):
    """The files of the network mode's driver package: the storage and USB modules at the
    paths of the installer's lists, relative to the RAM system's root."""
    placed, refused = plan[0], plan[3]
    tree = os.path.join(out, "drivers")
    shutil.rmtree(tree, ignore_errors=True)
    for path in listed["storage"] + listed["usb"]:
        if path in placed and path not in refused:
            dest = os.path.join(tree, "lib", "modules", kern.release, path)
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            with open(dest, "wb") as f:
                f.write(kern.data(placed[path]))


def archives(directory):
    return sorted(f for f in os.listdir(directory) if f.endswith(".kpk"))


def build_iso(out, packages):
    stage = os.path.join(out, "iso")
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(os.path.join(stage, "isolinux"))
    os.makedirs(os.path.join(stage, "boot"))
    shutil.copy("/usr/lib/ISOLINUX/isolinux.bin", os.path.join(stage, "isolinux"))
    shutil.copy("/usr/lib/syslinux/modules/bios/ldlinux.c32", os.path.join(stage, "isolinux"))
    with open(os.path.join(stage, "isolinux", "isolinux.cfg"), "w") as f:
        f.write(ISOLINUX_CFG.format(cmdline=CMDLINE))
    shutil.copy(os.path.join(out, "vmlinuz"), os.path.join(stage, "boot", "vmlinuz"))
    shutil.copy(os.path.join(out, "cdrom.img"), os.path.join(stage, "boot", "cdrom.img"))
    for name in archives(packages):
        shutil.copy(os.path.join(packages, name), stage)
    run("xorriso", "-as", "mkisofs", "-quiet", "-R", "-J", "-V", "KEST_INSTALL",
        "-b", "isolinux/isolinux.bin", "-c", "isolinux/boot.cat", "-no-emul-boot",
        "-boot-load-size", "4", "-boot-info-table", "-o", os.path.join(out, "cdrom.iso"), stage)
    shutil.rmtree(stage)


def build_hdd(out, packages, size_mib=64):
    image = os.path.join(out, "hdd.img")
    if os.path.exists(image):
        os.unlink(image)
    with open(image, "wb") as f:
        f.truncate(size_mib << 20)
    run("mkfs.vfat", "-I", "-F", "16", "-n", "KESTINSTALL", image)
    run("syslinux", "--install", image)
    stage = os.path.join(out, "hdd")
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    with open(os.path.join(stage, "syslinux.cfg"), "w") as f:
        f.write(SYSLINUX_CFG.format(cmdline=CMDLINE))
    with open(os.path.join(stage, "autorun.scr"), "w") as f:
        f.write(AUTORUN)
    # The master boot record the installer writes first: no boot code (the installer puts
    # its own there) and an empty partition table with the boot signature.
    with open(os.path.join(stage, "mbr"), "wb") as f:
        f.write(bytes(510) + b"\x55\xaa")
    shutil.copy(os.path.join(out, "vmlinuz"), os.path.join(stage, "vmlinuz"))
    shutil.copy(os.path.join(out, "ramdisk.img"), os.path.join(stage, "ramdisk.img"))
    files = [os.path.join(stage, f) for f in sorted(os.listdir(stage))]
    files += [os.path.join(packages, name) for name in archives(packages)]
    run("mcopy", "-i", image, *files, "::/")
    shutil.rmtree(stage)


def build_ram_systems(args):
    deb = debian.Unpacked(args.cache)
    kern = kernel_mod.Kernel(deb.package("linux-image-"))
    args.listed = read_lists(args.module_lists)
    every = args.listed["startup"] + args.listed["storage"] + args.listed["usb"]
    plan = kernel_mod.plan(kern, every, PREINIT_MODULES, list(ON_DEMAND.values()))
    placed, preinit, missing, refused = plan
    with open(os.path.join(args.out, "modules.txt"), "w") as f:
        f.write("kernel %s\n" % kern.release)
        for path in every:
            f.write("listed %s <- %s\n" % (path, kern.paths[placed[path]]) if path in placed
                    else "listed %s: not in this kernel\n" % path)
        for path in refused:
            f.write("left out %s: needs a helper that needs a listed module\n" % path)
        for name in preinit:
            f.write("pre-init %s\n" % kern.paths[name])
        for alias, name in ON_DEMAND.items():
            f.write("on demand (%s) %s\n" % (alias, kern.paths[name]))
    with open(os.path.join(args.out, "release"), "w") as f:
        f.write(kern.release + "\n")

    shutil.copy(kern.vmlinuz, os.path.join(args.out, "vmlinuz"))
    base = ram_system(args, deb, kern, plan, ("startup", "storage", "usb")).gzip()
    with open(os.path.join(args.out, "ramdisk.img"), "wb") as f:
        f.write(base)
    with open(os.path.join(args.out, "cdrom.img"), "wb") as f:
        f.write(base + overlay("cdrom"))
    net = ram_system(args, deb, kern, plan, ("startup",)).gzip()
    with open(os.path.join(args.out, "net.img"), "wb") as f:
        f.write(net + overlay("net"))
    driver_tree(args.out, kern, plan, args.listed)
    print("media: kernel %s; %d of %d listed modules on the medium, %d loaded by the pre-init"
          % (kern.release, len(placed) - len(refused), len(every), len(preinit)))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="command", required=True)
    ram = sub.add_parser("ram", help="the kernel, the RAM systems and the driver tree")
    ram.add_argument("--cache", required=True)
    ram.add_argument("--installer", required=True)
    ram.add_argument("--sfdisk")
    ram.add_argument("--module-lists", required=True)
    ram.add_argument("--out", required=True)
    discs = sub.add_parser("discs", help="the CD and the hard-disk medium (after ram)")
    discs.add_argument("--packages", required=True, help="directory of the package archives")
    discs.add_argument("--out", required=True)
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    if args.command == "ram":
        build_ram_systems(args)
    else:
        build_iso(args.out, args.packages)
        build_hdd(args.out, args.packages)
        print("media: cdrom.iso and hdd.img in " + args.out)


if __name__ == "__main__":
    main()
