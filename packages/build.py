#!/usr/bin/env python3
"""Builds the sample package set with kpk and signs it with the development key.

  system    3.0     the root file system: bash with its libraries, busybox and its tools,
                    e2fsck, the post-install script, the install profile (the programs come
                    from the Debian i386 packages that medium/fetch unpacked)
  dhcp, ppp         depend on system; ppp runs an install script
  filters   1.2     unsigned: accepted by its digest in trust/trusted_digests.hex
  shaper    1.0rc2  depends on filters, provides qos, carries an image part
  vpn       1.0     a bundle of ipsec and l2tp (l2tp depends on ppp)
  drivers           (with --drivers) the network mode's driver package: the RAM system's
                    storage and USB modules, installed into the RAM system itself

Usage: build.py --kpk KPK --cache DIR --out DIR [--drivers TREE --release RELEASE]
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "medium"))
import debian  # noqa: E402

KEY = os.path.join(TOP, "trust", "development.key")
TRUSTED = os.path.join(TOP, "trust", "trusted_digests.hex")
PLAIN = ["dhcp", "ppp", "filters", "shaper"]
UNSIGNED = {"filters"}
BUNDLES = {"vpn": ["ipsec", "l2tp"]}
# The busybox tools of the installed system, linked from /bin.
TOOLS = ("cat chmod chown cp date df dmesg du echo grep head hostname ifconfig ip kill ln ls "
         "mkdir mount mv ping ps rm rmdir route sed sleep sort sync tail tr udhcpc udhcpd "
         "umount uname vi wc").split()


def kpk(args, *argv):
    subprocess.run([args.kpk] + list(argv), check=True, stdout=subprocess.DEVNULL)


def sign(args, unsigned, out):
    kpk(args, "sign", unsigned, "-k", KEY, "-o", out)
    os.unlink(unsigned)


def system_manifest(args, stage):
    """Copies the system package's tree and manifest to stage and adds the programs."""
    shutil.copytree(os.path.join(HERE, "system", "tree"), os.path.join(stage, "tree"),
                    symlinks=True)
    deb = debian.Unpacked(args.cache)
    files = deb.with_libraries("/bin/bash")
    files["/bin/busybox"] = deb.find("/bin/busybox")
    files["/sbin/e2fsck"] = deb.find("/sbin/e2fsck.static")
    plain, links = debian.files_and_links(files)
    for target, host in plain.items():
        dest = os.path.join(stage, "tree", target.lstrip("/"))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(host, dest)
        os.chmod(dest, 0o755)
    with open(os.path.join(HERE, "system", "manifest")) as f:
        manifest = f.read()
    manifest += "".join("symlink: %s -> %s\n" % (t.lstrip("/"), link) for t, link in links.items())
    manifest += "".join("symlink: bin/%s -> busybox\n" % tool for tool in TOOLS)
    path = os.path.join(stage, "manifest")
    with open(path, "w") as f:
        f.write(manifest)
    return path


def trusted_digests():
    with open(TRUSTED) as f:
        return {line.split("#")[0].strip() for line in f} - {""}


def digest(args, archive):
    out = subprocess.run([args.kpk, "digest", archive], check=True, capture_output=True,
                         text=True).stdout
    return out.split()[0]


def drivers_manifest(args, stage):
    shutil.copytree(args.drivers, os.path.join(stage, "tree"))
    path = os.path.join(stage, "manifest")
    with open(path, "w") as f:
        f.write("name: drivers\nversion: 1.0\nbuild: 1765000000\narchitecture: i386\n"
                "description: Disk, CD-ROM and USB drivers of the RAM system's kernel %s.\n"
                "files: tree\nmtime: 1765000000\n" % args.release)
    return path


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--kpk", required=True)
    p.add_argument("--cache", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--drivers", help="tree of the driver package (medium/media.py ram)")
    p.add_argument("--release", default="", help="kernel release the drivers belong to")
    args = p.parse_args()

    shutil.rmtree(args.out, ignore_errors=True)
    stage = os.path.join(args.out, "stage")
    os.makedirs(stage)
    out = lambda name: os.path.join(args.out, name + ".kpk")  # noqa: E731
    unsigned = lambda name: os.path.join(stage, name + ".unsigned.kpk")  # noqa: E731

    os.makedirs(os.path.join(stage, "system"))
    kpk(args, "build", system_manifest(args, os.path.join(stage, "system")), "-o",
        unsigned("system"))
    sign(args, unsigned("system"), out("system"))

    for name in PLAIN:
        manifest = os.path.join(HERE, name, "manifest")
        if name in UNSIGNED:
            kpk(args, "build", manifest, "-o", out(name))
            d = digest(args, out(name))
            if d not in trusted_digests():
                sys.exit("packages/build: the digest %s of the unsigned %s is not in %s; "
                         "update it there" % (d, name, TRUSTED))
        else:
            kpk(args, "build", manifest, "-o", unsigned(name))
            sign(args, unsigned(name), out(name))

    for bundle, members in BUNDLES.items():
        for m in members:
            kpk(args, "build", os.path.join(HERE, m, "manifest"), "-o", unsigned(m))
        kpk(args, "bundle", os.path.join(HERE, bundle, "manifest"), "-o", unsigned(bundle),
            *[unsigned(m) for m in members])
        sign(args, unsigned(bundle), out(bundle))

    if args.drivers:
        os.makedirs(os.path.join(args.out, "net"))
        os.makedirs(os.path.join(stage, "drivers"))
        kpk(args, "build", drivers_manifest(args, os.path.join(stage, "drivers")), "-o",
            unsigned("drivers"))
        sign(args, unsigned("drivers"), os.path.join(args.out, "net", "drivers.kpk"))

    shutil.rmtree(stage)
    names = sorted(f for f in os.listdir(args.out) if f.endswith(".kpk"))
    print("packages: %s in %s" % (" ".join(names), args.out))


if __name__ == "__main__":
    main()
