"""The Debian i386 packages that medium/fetch unpacked: finding programs in them and the
shared libraries those programs need."""
import os

import elf


class Unpacked:
    def __init__(self, cache):
        self.root = os.path.join(cache, "unpacked")
        if not os.path.isdir(self.root):
            raise SystemExit("no fetched Debian packages in %s: run medium/fetch" % cache)
        self.packages = sorted(os.listdir(self.root))

    def package(self, prefix):
        """The unpacked tree of the one package whose name starts with prefix."""
        found = [p for p in self.packages if p.startswith(prefix)]
        if len(found) != 1:
            raise SystemExit("expected one fetched package %s*, found %s" % (prefix, found))
        return os.path.join(self.root, found[0])

    def find(self, path):
        """The host file of a package's file, by its absolute path in the installed system.
        Symbolic links are followed inside the package (never into the host's own files)."""
        for p in self.packages:
            root = os.path.join(self.root, p)
            for _ in range(16):
                candidate = os.path.join(root, path.lstrip("/"))
                if not os.path.islink(candidate):
                    break
                target = os.readlink(candidate)
                path = target if target.startswith("/") else os.path.join(
                    os.path.dirname(path), target)
            if os.path.isfile(candidate):
                return candidate
        raise SystemExit("no fetched package holds " + path)

    def _library(self, soname):
        for d in ("/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu", "/lib"):
            try:
                return "%s/%s" % (d, soname), self.find("%s/%s" % (d, soname))
            except SystemExit:
                pass
        raise SystemExit("no fetched package holds the library " + soname)

    def with_libraries(self, path):
        """{absolute path in the target: host file} for a program and everything it needs to
        run: its interpreter and, recursively, its shared libraries, all as plain files."""
        host = self.find(path)
        files = {path: host}
        todo = [host]
        while todo:
            image = elf.read(todo.pop())
            interpreter = image.interpreter()
            if interpreter and interpreter not in files:
                files[interpreter] = self.find(interpreter)
            for soname in image.needed():
                target, source = self._library(soname)
                if target not in files:
                    files[target] = source
                    todo.append(source)
        return files


def files_and_links(files):
    """Splits {target: host} into plain files and symbolic links: a host file needed under
    two names (the dynamic loader, as interpreter and as a library) is stored once, under
    its longest name, and linked from the others. Returns ({target: host}, {target: link})."""
    by_host = {}
    for target, host in files.items():
        by_host.setdefault(host, []).append(target)
    plain, links = {}, {}
    for host, targets in by_host.items():
        targets.sort(key=lambda t: (-len(t), t))
        plain[targets[0]] = host
        for other in targets[1:]:
            links[other] = os.path.relpath(targets[0], os.path.dirname(other))
    return plain, links
