"""The medium's kernel as Debian ships it (an unpacked linux-image package), and the placement
of its modules in the RAM system.

The installer loads its modules from fixed paths under /lib/modules/<release>/ and resolves
nothing itself. Debian keeps some of them at other paths, may compress them, builds some into
the kernel, and splits others into helper modules that the installer's lists do not name.
This file bridges that at build time: every listed module that the kernel has is copied,
uncompressed, to the path the list gives; the helpers they need, and the modules the emulated
PC needs beyond the lists, are loaded by the medium's pre-init in dependency order."""
import gzip
import lzma
import os

import elf


def module_name(path):
    """Module name of a file name, as the kernel writes it ("ide-cd_mod.ko" -> "ide_cd_mod")."""
    base = os.path.basename(path)
    for suffix in (".xz", ".gz", ".zst"):
        if base.endswith(suffix):
            base = base[: -len(suffix)]
    if base.endswith(".ko"):
        base = base[:-3]
    return base.replace("-", "_")


class Kernel:
    def __init__(self, unpacked):
        modules = os.path.join(unpacked, "lib", "modules")
        releases = sorted(os.listdir(modules))
        if len(releases) != 1:
            raise ValueError("expected one kernel release in %s, found %s" % (modules, releases))
        self.release = releases[0]
        self.root = os.path.join(modules, self.release)
        self.vmlinuz = os.path.join(unpacked, "boot", "vmlinuz-" + self.release)
        self.paths = {}  # module name -> path relative to the release directory
        for directory, _, files in os.walk(self.root):
            for f in files:
                if ".ko" in f:
                    rel = os.path.relpath(os.path.join(directory, f), self.root)
                    self.paths[module_name(rel)] = rel
        self._info = {}

    def data(self, name):
        """The module's uncompressed image."""
        path = os.path.join(self.root, self.paths[name])
        opener = lzma.open if path.endswith(".xz") else gzip.open if path.endswith(".gz") else open
        if path.endswith(".zst"):
            raise ValueError("zstd-compressed modules are not supported: " + path)
        with opener(path, "rb") as f:
            return f.read()

    def depends(self, name):
        """Modules that must be loaded before this one (its symbol dependencies). Soft
        dependencies are left out: the module loads without them."""
        if name not in self._info:
            info = elf.Elf(self.data(name)).modinfo()
            self._info[name] = [module_name(d) for d in info.get("depends", "").split(",") if d]
        return self._info[name]


def plan(kernel, listed, extra, on_demand=()):
    """Decides which module files go where.

    listed: the installer's module paths (relative to the release directory).
    extra: names of modules the machine needs that the lists do not name, loaded by the
      pre-init.
    on_demand: names of modules that need a listed module themselves, so that they can only
      be loaded after the installer's lists, when the kernel asks for them.
    Returns (placed, preinit, missing, refused): placed maps a listed path to the module name
    put there; preinit is the load order of every other module needed (dependencies first);
    missing lists the listed paths the kernel has no module for (built in or not built);
    refused lists the placed paths whose helpers the pre-init cannot load."""
    placed, missing = {}, []
    for path in listed:
        name = module_name(path)
        if name in kernel.paths:
            placed[path] = name
        else:
            missing.append(path)
    listed_names = set(placed.values())

    order, seen = [], set()

    def visit(name, chain):
        if name in seen:
            return
        if name in chain:
            raise ValueError("module dependency cycle: " + " -> ".join(chain + [name]))
        for dep in kernel.depends(name):
            visit(dep, chain + [name])
        seen.add(name)
        if name not in listed_names:
            order.append(name)

    for name in sorted(listed_names) + [e for e in extra if e in kernel.paths]:
        visit(name, [])
    # The pre-init runs before the installer, so a helper that itself needs a listed module
    # cannot be loaded there; the listed modules that need such a helper are refused by the
    # kernel when the installer loads them (none of them drives the emulated PC).
    unloadable = set()
    for name in order:
        if any(d in listed_names or d in unloadable for d in kernel.depends(name)):
            unloadable.add(name)
    for name in extra:
        if name in unloadable or name not in kernel.paths:
            raise ValueError("the pre-init cannot load the module " + name)
    preinit = [n for n in order if n not in unloadable]
    for name in on_demand:
        lacking = [d for d in kernel.depends(name) if d not in listed_names and d not in preinit]
        if name not in kernel.paths or lacking:
            raise ValueError("the module %s cannot be loaded on demand" % name)
    refused = sorted(p for p, n in placed.items()
                     if any(d in unloadable for d in kernel.depends(n)))
    return placed, preinit, missing, refused
